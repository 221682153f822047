// Fuzz target: the agent's settings loader on an arbitrary settings file, and the group file
// reader on the same bytes. The substrate code generator named by the file is not run.
#include <climits>
#include <string>

#include "FuzzUtil.h"
#include "SettingData.h"

using zorcee::data::SettingData;

void fuzzutil::fuzzOne(const std::string& input) {
    const std::string path = writeScratchFile("cee.conf", input);
    const SettingData settings(path, SettingData::Identity::Skip);
    settings.getHttpUrl();
    settings.getPlatform();
    check(settings.getIntValue("URL") == INT_MIN && settings.getStringValue("RETRY_NUM").empty(),
          "a setting answered as the other type");
    check(settings.getGroupName() == "all" && settings.getSubstrateCode().empty(),
          "identity read although it was to be skipped");
    check(SettingData::readGroupName(path).find('\n') == std::string::npos,
          "group name spans lines");
}
