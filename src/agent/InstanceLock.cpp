#include "InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zorcee {

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& error) {
    if (fd_ >= 0) {
        ::close(fd_);  // taken again (tests start the agent more than once in one process)
        fd_ = -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open lock file " + path + ": " + std::strerror(errno);
        return Result::Unusable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        char pid[32] = {};
        const ssize_t n = held ? ::pread(fd, pid, sizeof pid - 1, 0) : 0;
        error = held ? "held by another cee-agent (pid " +
                           std::string(pid, static_cast<std::size_t>(n > 0 ? n : 0)) +
                           ", lock file " + path + ")"
                     : "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return held ? Result::Held : Result::Unusable;
    }
    const std::string own = std::to_string(::getpid());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, own.data(), own.size(), 0) < 0) {
        error = "cannot write lock file " + path + ": " + std::strerror(errno);
        ::close(fd);
        return Result::Unusable;
    }
    fd_ = fd;
    return Result::Taken;
}

}  // namespace zorcee
