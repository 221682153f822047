// Fuzz target: the agent's settings loader on an arbitrary settings file, and the group file
// reader on the same bytes. The substrate code generator named by the file is not run.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzUtil.h"
#include "SettingData.h"

using fuzzutil::fail;
using zorcee::data::SettingData;

namespace {
const char* const kStringKeys[] = {"CMD_SUBSTRATE_CODE",
                                   "SYSTEM_SETTING_XML_FILE",
                                   "PLATFORM",
                                   "FILE_GROUP",
                                   "LOG_DIR",
                                   "LOG_FILE",
                                   "URL",
                                   "TIME_START",
                                   "TIME_END",
                                   "LIST_FILE_PATH",
                                   "LIST_PRE_NAME",
                                   "REMOVE_PKG_DIR",
                                   "DB_PATH",
                                   "DB_FILE",
                                   "LOCK_CEE",
                                   "LOCK_UPD"};
const char* const kIntKeys[] = {"LOG_MAX_BYTES",    "LOG_COUNTS",   "RETRY_NUM",
                                "RETRY_INTERVAL",   "CURL_TIMEOUT", "CURL_CONNECT_TIMEOUT",
                                "DAY_SPAN",         "LOCALE_HOUR",  "EMARG_UPD_START_SEC",
                                "EMARG_UPD_END_SEC"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzutil::writeScratchFile("cee.conf", data, size);
    fuzzutil::MuteCerr mute;
    const SettingData settings(path, SettingData::Identity::Skip);
    for (const char* key : kStringKeys) {
        settings.getStringValue(key);
        if (settings.getIntValue(key) != INT_MIN) {
            fail("a string setting answered as a number");
        }
    }
    for (const char* key : kIntKeys) {
        if (!settings.getStringValue(key).empty()) {
            fail("a number setting answered as a string");
        }
        settings.getIntValue(key);
    }
    if (settings.getGroupName() != "all" || !settings.getSubstrateCode().empty()) {
        fail("identity read although it was to be skipped");
    }
    const std::string group = SettingData::readGroupName(path);
    if (group.find('\n') != std::string::npos) {
        fail("group name spans lines");
    }
    return 0;
}
