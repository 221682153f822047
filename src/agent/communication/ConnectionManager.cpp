#include "ConnectionManager.h"

#include "SettingData.h"

namespace zorcee {
namespace conn {

namespace {
zorcommon::HttpSettings agentHttpSettings() {
    zorcommon::HttpSettings http;
    http.timeoutSec = 120;
    http.connectTimeoutSec = 30;
    http.tcpKeepAlive = 60;
    const auto* setting = data::SettingData::getInstance();
    return setting != nullptr ? zorcommon::httpSettingsFrom(*setting, http) : http;
}
}  // namespace

ConnectionManager::ConnectionManager()
    : ConnectionManagerBase("cee", "ConnectionManager.cpp", agentHttpSettings()) {}

}  // namespace conn
}  // namespace zorcee
