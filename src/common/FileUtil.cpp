#include "FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "StringUtil.h"

namespace zorcommon {

int makeDirectories(const std::string& path) {
    std::string prefix;
    for (const auto& component : splitString(path, "/", true, false)) {
        prefix += "/" + component;
        struct stat st {};
        if (::stat(prefix.c_str(), &st) != 0) {
            ::mkdir(prefix.c_str(), 0755);
        } else if (!S_ISDIR(st.st_mode)) {
            return 2;
        }
    }
    return 0;
}

bool replaceFile(const std::string& path, const std::string& text) {
    std::string name = path + ".XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    // mkstemp creates with O_EXCL: a link planted at the temporary name makes it fail.
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    name = buffer.data();
    bool ok = ::fchmod(fd, 0644) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ::close(fd) == 0 && ok;
    // rename replaces the directory entry itself, a link included, never the link's target.
    ok = ok && ::rename(name.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(name.c_str());
    }
    return ok;
}

bool createFreshFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace zorcommon
