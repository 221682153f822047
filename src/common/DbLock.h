// Lock-file guard: marks that a program holds an open connection to the command database.
//
// A lock file is empty; only its existence counts. Each program creates and removes only its
// own file (kind 1: the agent's, kind 2: the updater's). Not thread-safe; each program keeps
// its two guards process-wide, set once at start-up (setupLockFiles) and only read afterwards.
#pragma once

#include <string>

namespace zorcommon {

class DbLock {
  public:
    DbLock() = default;
    // path = dir + "/" + file; a kind outside 1..2 is stored as 0.
    DbLock(const std::string& dir, const std::string& file, int kind);
    virtual ~DbLock() = default;

    // Creates the file atomically; false if the path is empty, the file already exists or it
    // could not be created.
    bool createLockFile();
    // Removes the file if present; false only for an empty path.
    bool removeLockFile();
    bool existsLockFile() const;

    const std::string& path() const { return path_; }
    // 1 the agent's file, 2 the updater's, 0 none.
    int kind() const { return kind_; }

  private:
    std::string path_;
    int kind_ = 0;
};

// The process-wide guards of the agent's and the updater's lock files.
DbLock& agentLockGuard();
DbLock& updaterLockGuard();

// Points both guards at dbDir and returns makeDirectories(dbDir).
int setupLockFiles(const std::string& dbDir, const std::string& lockCee,
                   const std::string& lockUpd);

}  // namespace zorcommon
