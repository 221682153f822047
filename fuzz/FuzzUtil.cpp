// The scratch folder is removed by an atexit handler; after a crash it stays behind below
// $TMPDIR, which scripts/fuzz.sh points into a folder of its own that it removes at the end.
#include "FuzzUtil.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace fuzzutil {

namespace {
std::string scratch;

void removeScratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
}
}  // namespace

__attribute__((weak)) void fuzzInit() {}

const std::string& scratchDir() {
    if (scratch.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cee-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        scratch = pattern;
        std::atexit(removeScratch);
    }
    return scratch;
}

std::string writeScratchFile(const std::string& name, const std::string& bytes) {
    const std::string path = scratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

}  // namespace fuzzutil

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"cee", "upd"}) {
        spdlog::drop(name);
        auto log =
            std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::null_sink_mt>());
        log->set_level(spdlog::level::debug);
        spdlog::register_logger(log);
    }
    // Without a buffer every write fails quietly; sanitizer and fail() reports go to fd 2.
    std::cerr.rdbuf(nullptr);
    fuzzutil::fuzzInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzutil::fuzzOne(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
