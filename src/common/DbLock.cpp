#include "DbLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "FileUtil.h"

namespace zorcommon {

DbLock::DbLock(const std::string& dir, const std::string& file, int kind)
    : path_(dir + "/" + file), kind_(kind == 1 || kind == 2 ? kind : 0) {}

DbLock::~DbLock() {
    closeHeld();
}

DbLock& DbLock::operator=(DbLock&& other) noexcept {
    if (this != &other) {
        closeHeld();
        path_ = std::move(other.path_);
        kind_ = other.kind_;
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void DbLock::closeHeld() {
    if (fd_ >= 0) {
        ::close(fd_);  // also drops the flock
        fd_ = -1;
    }
}

bool DbLock::createLockFile() {
    if (path_.empty() || fd_ >= 0) {
        return false;
    }
    // The file appears under its name already flocked: it is made under a private name,
    // locked, then linked into place (link fails if the name exists, like O_EXCL). So a file
    // found without an flock never belongs to a live holder.
    const std::string temp = path_ + "." + std::to_string(::getpid()) + ".new";
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::link(temp.c_str(), path_.c_str()) == 0) {
        ::unlink(temp.c_str());
        fd_ = fd;
        return true;
    }
    ::unlink(temp.c_str());
    ::close(fd);

    // The name exists. The agent removes a leftover of its own at start-up; the updater has
    // no such moment, so it takes a stale file over: stale only if nobody holds its flock,
    // and only while the name still refers to the file that was locked (a holder that just
    // released it unlinked it first).
    if (kind_ != 2) {
        return false;
    }
    fd = ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat held {};
    struct stat named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
        ::stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
        fd_ = fd;
        return true;
    }
    ::close(fd);
    return false;
}

bool DbLock::releaseLockFile() {
    if (path_.empty()) {
        return false;
    }
    if (kind_ != 2) {
        // The agent runs once per device: a file in its way can only be a leftover, and left
        // in place it would keep every later order from being recorded.
        return removeLockFile();
    }
    if (fd_ >= 0) {
        // Unlinked before the flock is dropped, so no one can take the name over in between.
        ::unlink(path_.c_str());
        closeHeld();
    }
    return true;
}

bool DbLock::removeLockFile() {
    if (path_.empty()) {
        return false;
    }
    if (existsLockFile()) {
        std::remove(path_.c_str());
    }
    closeHeld();
    return true;
}

bool DbLock::existsLockFile() const {
    struct stat st {};
    return !path_.empty() && ::lstat(path_.c_str(), &st) == 0;
}

DbLock& agentLockGuard() {
    static DbLock guard;
    return guard;
}

DbLock& updaterLockGuard() {
    static DbLock guard;
    return guard;
}

int setupLockFiles(const std::string& dbDir, const std::string& lockCee,
                   const std::string& lockUpd) {
    agentLockGuard() = DbLock(dbDir, lockCee, 1);
    updaterLockGuard() = DbLock(dbDir, lockUpd, 2);
    return makeDirectories(dbDir);
}

}  // namespace zorcommon
