// Lock-file guard: marks that a program holds an open connection to the command database.
//
// A lock file is empty; its existence marks an open connection. Each program creates and
// removes only its own file (kind 1: the agent's, kind 2: the updater's); the updater's guard
// removes the file on release only if it made it, so an updater that finds the file of
// another running updater leaves it in place. While a guard holds its file it also holds an flock
// on it, so the updater's guard (kind 2) recognises a file left behind by a process that died (no
// flock on it) as stale and takes it over instead of blocking every later start; the agent removes
// its own leftover at start-up instead. Not thread-safe; each program keeps its two guards
// process-wide, set once at start-up (setupLockFiles) and only used by one thread at a time.
#pragma once

#include <string>

namespace zorcommon {

class DbLock {
  public:
    DbLock() = default;
    // path = dir + "/" + file; a kind outside 1..2 is stored as 0.
    DbLock(const std::string& dir, const std::string& file, int kind);
    virtual ~DbLock();
    DbLock(const DbLock&) = delete;
    DbLock& operator=(const DbLock&) = delete;
    DbLock& operator=(DbLock&& other) noexcept;

    // Creates the file atomically, or (kind 2) takes over a stale one (no live holder); false
    // if the path is empty, the file is held (kind 2: by a live holder) or cannot be made.
    bool createLockFile();
    // End of use: kind 2 removes the file only if this guard holds it (created or took it
    // over), so a second updater never removes the first one's; other kinds remove it as
    // removeLockFile does. False only for an empty path.
    bool releaseLockFile();
    // Removes the file whoever made it (a leftover found at start-up); false only for an
    // empty path.
    bool removeLockFile();
    bool existsLockFile() const;

    const std::string& path() const { return path_; }
    // 1 the agent's file, 2 the updater's, 0 none.
    int kind() const { return kind_; }

  private:
    void closeHeld();

    std::string path_;
    int kind_ = 0;
    int fd_ = -1;  // open and flocked while this guard holds the file
};

// The process-wide guards of the agent's and the updater's lock files.
DbLock& agentLockGuard();
DbLock& updaterLockGuard();

// Points both guards at dbDir and returns makeDirectories(dbDir).
int setupLockFiles(const std::string& dbDir, const std::string& lockCee,
                   const std::string& lockUpd);

}  // namespace zorcommon
