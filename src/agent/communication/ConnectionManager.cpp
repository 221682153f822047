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
    if (const auto* setting = data::SettingData::getInstance()) {
        http.retryNum = setting->getIntValue("RETRY_NUM");
        http.retryIntervalUs = setting->getIntValue("RETRY_INTERVAL");
        http.timeoutSec = setting->getIntValue("CURL_TIMEOUT");
        http.connectTimeoutSec = setting->getIntValue("CURL_CONNECT_TIMEOUT");
        http.maxAnswerBytes = setting->getIntValue("MAX_ANSWER_BYTES");
    }
    return http;
}
}  // namespace

ConnectionManager::ConnectionManager()
    : ConnectionManagerBase("cee", "ConnectionManager.cpp", agentHttpSettings()) {}

}  // namespace conn
}  // namespace zorcee
