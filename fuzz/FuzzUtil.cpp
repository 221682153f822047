// The scratch folder is removed by an atexit handler; after a crash it stays behind below
// $TMPDIR, which scripts/fuzz.sh points into a folder of its own that it removes at the end.
#include "FuzzUtil.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <streambuf>

namespace fuzzutil {

namespace {
std::string& scratchPath() {
    static std::string path;
    return path;
}

void removeScratch() {
    std::error_code ec;
    if (!scratchPath().empty()) {
        std::filesystem::remove_all(scratchPath(), ec);
    }
}

// A stream buffer that accepts and drops everything.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
}  // namespace

const std::string& scratchDir() {
    if (scratchPath().empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cee-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        scratchPath() = pattern;
        std::atexit(removeScratch);
    }
    return scratchPath();
}

std::string writeScratchFile(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

std::string writeScratchFile(const std::string& name, const std::string& text) {
    return writeScratchFile(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void registerSilentLoggers() {
    for (const char* name : {"cee", "upd"}) {
        spdlog::drop(name);
        auto log =
            std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::null_sink_mt>());
        log->set_level(spdlog::level::debug);
        spdlog::register_logger(log);
    }
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

MuteCerr::MuteCerr() {
    static NullBuffer sink;
    saved_ = std::cerr.rdbuf(&sink);
}

MuteCerr::~MuteCerr() {
    std::cerr.rdbuf(saved_);
}

}  // namespace fuzzutil
