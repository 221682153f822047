#include "ExecCmd.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

extern char** environ;

namespace zorcommon {

namespace {

// Owns the stream of a popen call; pclose()s on every path and hands out the wait status.
class Pipe {
  public:
    explicit Pipe(const std::string& command) : fp_(::popen(command.c_str(), "r")) {}
    ~Pipe() {
        if (fp_ != nullptr) {
            ::pclose(fp_);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    FILE* get() const { return fp_; }
    int close() {
        const int status = ::pclose(fp_);
        fp_ = nullptr;
        return status;
    }

  private:
    FILE* fp_;
};

// Reads the command's output to its end (into `output` when given) and closes the pipe.
bool runPipe(const std::string& command, std::string* output, int& status) {
    Pipe pipe(command);
    if (pipe.get() == nullptr) {
        return false;
    }
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        if (output != nullptr) {
            output->append(buffer, n);
        }
    }
    status = pipe.close();
    return true;
}

}  // namespace

bool ExecCmd(const std::string& command, std::string& output, int& status) {
    return runPipe(command, &output, status);
}

int execCmdLines(const std::string& command, std::vector<std::string>& lines) {
    int status = 0;
    int count = 0;
    {
        Pipe pipe(command);
        if (pipe.get() == nullptr) {
            return -1;
        }
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
            lines.emplace_back(buffer);
            ++count;
        }
        status = pipe.close();
    }
    if (status < 0) {
        return -3;
    }
    if (WIFSIGNALED(status)) {
        return -2;
    }
    return count;
}

int execCmdStatus(const std::string& command) {
    int status = 0;
    // The output is drained so that a chatty command cannot block on a full pipe.
    if (!runPipe(command, nullptr, status)) {
        return -1;
    }
    if (status < 0) {
        return -3;
    }
    if (WIFSIGNALED(status)) {
        return -2;
    }
    return status;
}

int execCmdCheck(const std::string& command) {
    int status = 0;
    if (!runPipe(command, nullptr, status)) {
        return -1;
    }
    if (status < 0) {
        return -3;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        return -4;
    }
    if (WIFSIGNALED(status)) {
        return -2;
    }
    return 0;
}

BoundedExecResult execCmdBounded(const std::string& command, size_t maxOutput, int timeoutMs,
                                 std::string& output, int& status) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return BoundedExecResult::NotStarted;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, sh, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return BoundedExecResult::NotStarted;
    }

    BoundedExecResult result = BoundedExecResult::Ok;
    char buffer[256];
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result = BoundedExecResult::TimedOut;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;  // the deadline is checked at the top
        }
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // end of output
        }
        if (static_cast<size_t>(n) > maxOutput - output.size()) {
            result = BoundedExecResult::OutputTooLarge;
            break;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);

    // The output is closed; the shell may still run (or linger after closing it).
    while (result == BoundedExecResult::Ok) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return result;
        }
        if (done < 0 && errno != EINTR) {
            return BoundedExecResult::NotStarted;
        }
        if (Clock::now() >= deadline) {
            result = BoundedExecResult::TimedOut;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

const char* boundedExecResultText(BoundedExecResult result) {
    switch (result) {
        case BoundedExecResult::Ok:
            return "ended";
        case BoundedExecResult::NotStarted:
            return "could not be started";
        case BoundedExecResult::TimedOut:
            return "did not end in time";
        case BoundedExecResult::OutputTooLarge:
            return "printed too much";
    }
    return "failed";
}

}  // namespace zorcommon
