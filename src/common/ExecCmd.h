// Runners for shell command lines (popen), shared by both programs.
#pragma once

#include <string>

namespace zorcommon {

// Runs `command` through the shell, appends everything it prints on standard output to
// `output` and stores the raw wait status of pclose in `status`. False (status untouched) if
// the command could not be started.
bool ExecCmd(const std::string& command, std::string& output, int& status);

// Runs `command`, discarding its output. 0 for exit code 0; -4 for a non-zero exit code,
// -2 when ended by a signal, -3 when the wait status is negative, -1 when it cannot start.
int execCmdCheck(const std::string& command);

}  // namespace zorcommon
