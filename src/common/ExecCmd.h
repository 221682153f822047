// Runners for shell command lines (popen), shared by both programs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zorcommon {

// Runs `command` through the shell, appends everything it prints on standard output to
// `output` and stores the raw wait status of pclose in `status`. False (status untouched) if
// the command could not be started.
bool ExecCmd(const std::string& command, std::string& output, int& status);

// Runs `command`, discarding its output. 0 for exit code 0; -4 for a non-zero exit code,
// -2 when ended by a signal, -3 when the wait status is negative, -1 when it cannot start.
int execCmdCheck(const std::string& command);

// Runs `command` and appends its output to `lines` in pieces of at most 255 characters (a
// piece keeps its line feed). The number of pieces read; -1 when it cannot start, -2 when it
// was ended by a signal, -3 when the wait status is negative. The exit code is not looked at.
int execCmdLines(const std::string& command, std::vector<std::string>& lines);

// Runs `command` to its end (its output, if any, is discarded). The raw wait status (exit code
// times 256); -1 when it cannot start, -2 when ended by a signal, -3 when the status is negative.
int execCmdStatus(const std::string& command);

// Outcome of execCmdBounded.
enum class BoundedExecResult {
    Ok,              // ended on its own; status holds the raw wait status
    NotStarted,      // the shell could not be started
    TimedOut,        // still running (or its output still open) at the deadline: killed
    OutputTooLarge,  // printed more than maxOutput bytes: killed
};

// Runs `command` through /bin/sh in a process group of its own, collects at most maxOutput
// bytes of its standard output into `output` and waits at most timeoutMs for it to end. On a
// time-out or too much output the whole group is killed (SIGKILL) and reaped; nothing is left
// running and the call never blocks longer than about timeoutMs.
BoundedExecResult execCmdBounded(const std::string& command, size_t maxOutput, int timeoutMs,
                                 std::string& output, int& status);

// A short text for a result ("timed out", ...).
const char* boundedExecResultText(BoundedExecResult result);

}  // namespace zorcommon
