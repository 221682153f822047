// One running agent per folder: an exclusive flock on a lock file in the folder, held for the
// object's lifetime, with the holder's process id written into it for the operator and for a
// second agent's refusal message.
//
// The flock goes with the process (also with kill -9), so a file left behind never blocks a
// start. The file itself stays. Not thread-safe; the agent keeps its locks for its whole run.
#pragma once

#include <string>

namespace zorcee {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { Taken, Held, Unusable };
    // Takes the lock on `path` (created 0600, never through a link). Held, with a text naming
    // the holder's pid, when another process holds it; Unusable, with the reason, when the file
    // cannot be made or locked.
    Result acquire(const std::string& path, std::string& error);

  private:
    int fd_ = -1;
};

}  // namespace zorcee
