// Fuzz target: the updater's settings loader on an arbitrary settings file; every key it knows
// is read back through both getters.
#include <climits>
#include <string>

#include "FuzzUtil.h"
#include "updater/data/SettingData.h"

using zorupd::data::SettingData;

void fuzzutil::fuzzOne(const std::string& input) {
    const SettingData settings(writeScratchFile("cee_upd.conf", input));
    for (const char* key : SettingData::kKeyNames) {
        check(settings.getStringValue(key).empty() || settings.getIntValue(key) == INT_MIN,
              "a key answered both as a string and as a number");
    }
}
