// Command line shared by both programs: -c/--config FILE, -h/--help, -V/--version.
#pragma once

#include <string>

namespace zorcommon {

constexpr int kContinue = -1;
constexpr int kUsageError = 64;

// Fills configPath (left as given when no option names a file). Returns kContinue to go on,
// or the exit status: 0 after --help/--version (printed on stdout), kUsageError after a
// one-line usage error on stderr.
int parseCommandLine(int argc, char** argv, const char* program, std::string& configPath);

}  // namespace zorcommon
