// Helpers shared by the fuzz targets: a private scratch folder for the files a loader must read,
// the programs' named loggers on a sink that formats every line and writes it nowhere, and a
// guard that mutes std::cerr while a settings loader complains about a broken file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace fuzzutil {

// A folder made below $TMPDIR (or /tmp) on first use and removed with its files at exit.
const std::string& scratchDir();

// Writes `size` bytes to `name` in the scratch folder (replacing it); the file's path.
std::string writeScratchFile(const std::string& name, const uint8_t* data, size_t size);
std::string writeScratchFile(const std::string& name, const std::string& text);

// Registers the loggers "cee" and "upd" at debug level on a sink that discards the lines, so
// that every log call of the code under test is formatted but nothing is written.
void registerSilentLoggers();

// Aborts with `what` on standard error: a broken property of the code under test.
[[noreturn]] void fail(const char* what);

// Mutes std::cerr for its lifetime.
class MuteCerr {
  public:
    MuteCerr();
    ~MuteCerr();
    MuteCerr(const MuteCerr&) = delete;
    MuteCerr& operator=(const MuteCerr&) = delete;

  private:
    std::streambuf* saved_;
};

}  // namespace fuzzutil
