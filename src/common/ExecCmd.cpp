#include "ExecCmd.h"

#include <sys/wait.h>

#include <cstdio>

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

}  // namespace zorcommon
