#include "DbLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "FileUtil.h"

namespace zorcommon {

DbLock::DbLock(const std::string& dir, const std::string& file, int kind)
    : path_(dir + "/" + file), kind_(kind == 1 || kind == 2 ? kind : 0) {}

bool DbLock::createLockFile() {
    if (path_.empty()) {
        return false;
    }
    // O_EXCL makes "does it exist" and "create it" one step, so two users cannot both win.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool DbLock::removeLockFile() {
    if (path_.empty()) {
        return false;
    }
    if (existsLockFile()) {
        std::remove(path_.c_str());
    }
    return true;
}

bool DbLock::existsLockFile() const {
    struct stat st {};
    return !path_.empty() && ::stat(path_.c_str(), &st) == 0;
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
