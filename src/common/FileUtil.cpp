#include "FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

ReadFileResult readBoundedFile(const std::string& path, size_t maxBytes, bool noFollow,
                               std::string& out) {
    out.clear();
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (noFollow ? O_NOFOLLOW : 0);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        // ELOOP: the last component is a symbolic link and links are refused.
        return errno == ELOOP ? ReadFileResult::NotRegular : ReadFileResult::Missing;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return ReadFileResult::ReadError;
    }
    if (!S_ISREG(st.st_mode)) {
        return ReadFileResult::NotRegular;
    }
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) {
        return ReadFileResult::TooLarge;
    }
    // The size may change while we read: read at most one byte more than allowed.
    std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ReadFileResult::ReadError;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
        if (got > maxBytes) {
            return ReadFileResult::TooLarge;
        }
        if (got == text.size()) {
            text.resize(std::min(text.size() * 2, maxBytes + 1));
            if (got == text.size()) {
                return ReadFileResult::TooLarge;
            }
        }
    }
    text.resize(got);
    out.swap(text);
    return ReadFileResult::Ok;
}

const char* readFileResultText(ReadFileResult result) {
    switch (result) {
        case ReadFileResult::Ok:
            return "read";
        case ReadFileResult::Missing:
            return "cannot be opened";
        case ReadFileResult::NotRegular:
            return "not a regular file";
        case ReadFileResult::TooLarge:
            return "too large";
        case ReadFileResult::ReadError:
            return "read error";
    }
    return "read error";
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
