#include "ConnectionManagerUpd.h"

#include "../data/SettingData.h"

namespace zorupd {
namespace conn {

zorcommon::HttpSettings ConnectionManagerUpd::httpSettings() {
    zorcommon::HttpSettings http;
    http.timeoutSec = 20;
    http.connectTimeoutSec = 90;
    http.tcpKeepAlive = 1;
    const auto* setting = data::SettingData::getInstance();
    return setting != nullptr ? zorcommon::httpSettingsFrom(*setting, http) : http;
}

ConnectionManagerUpd::ConnectionManagerUpd()
    : ConnectionManagerBase("upd", "ConnectionManagerUpd.cpp", httpSettings()) {}

}  // namespace conn
}  // namespace zorupd
