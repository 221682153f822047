// The scratch folder is removed by an atexit handler; after a crash it stays behind below
// $TMPDIR, which scripts/fuzz.sh points into a folder of its own that it removes at the end.
#include "FuzzUtil.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace fuzzutil {

const std::string& scratchDir() {
    static std::string scratch;
    if (scratch.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/cee-fuzz-XXXXXX";
        check(::mkdtemp(pattern.data()) != nullptr, "cannot make the scratch folder");
        scratch = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch, ec);
        });
    }
    return scratch;
}

std::string writeScratchFile(const std::string& name, const std::string& bytes) {
    const std::string path = scratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    check(static_cast<bool>(out << bytes << std::flush), "cannot write a scratch file");
    return path;
}

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz property broken: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzzutil

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"cee", "upd"}) {
        spdlog::drop(name);
        spdlog::create<spdlog::sinks::null_sink_mt>(name)->set_level(spdlog::level::debug);
    }
    // Without a buffer every write fails quietly; sanitizer and check() reports go to fd 2.
    std::cerr.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzutil::fuzzOne(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
