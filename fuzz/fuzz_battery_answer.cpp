// Fuzz target: an arbitrary answer of the logger application to the storage battery status
// request, judged by checkReceiveData.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzUtil.h"
#include "updater/cee_upd.h"

using fuzzutil::fail;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzutil::registerSilentLoggers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorupd::cee_upd updater(nullptr);
    const std::string answer(reinterpret_cast<const char*>(data), size);
    const int r = updater.checkReceiveData(answer);
    if (r != 1 && r != -1) {
        fail("checkReceiveData outside 1 / -1");
    }
    if (r == 1 && answer.find("SUCCESS") == std::string::npos) {
        fail("accepted an answer without SUCCESS");
    }
    return 0;
}
