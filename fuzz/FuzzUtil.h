// The driver shared by the fuzz targets. FuzzUtil.cpp defines libFuzzer's entry points: once,
// the loggers "cee" and "upd" are registered at debug level on a sink that formats every line
// and writes it nowhere and std::cerr is muted (the settings loaders complain there about
// broken files); then every input goes to fuzzOne().
#pragma once

#include <string>

namespace fuzzutil {

// Defined by each target: runs the code under test on one input (any bytes) and calls check()
// for every property that must hold.
void fuzzOne(const std::string& input);

// A folder made below $TMPDIR (or /tmp) on first use and removed with its files at exit.
const std::string& scratchDir();
// Writes `bytes` to `name` in the scratch folder (replacing it); the file's path.
std::string writeScratchFile(const std::string& name, const std::string& bytes);

// Aborts with `what` on standard error unless `holds`: a broken property of the code under test.
void check(bool holds, const char* what);

}  // namespace fuzzutil
