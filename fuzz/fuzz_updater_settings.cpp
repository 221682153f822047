// Fuzz target: the updater's settings loader on an arbitrary settings file; every key it knows
// is read back through both getters.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzUtil.h"
#include "updater/data/SettingData.h"

using fuzzutil::fail;
using zorupd::data::SettingData;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzutil::writeScratchFile("cee_upd.conf", data, size);
    fuzzutil::MuteCerr mute;
    const SettingData settings(path);
    for (const char* key : SettingData::kKeyNames) {
        const std::string text = settings.getStringValue(key);
        const int number = settings.getIntValue(key);
        if (!text.empty() && number != INT_MIN) {
            fail("a key answered both as a string and as a number");
        }
    }
    return 0;
}
