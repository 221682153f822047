#include "ConnectionManagerUpd.h"

#include "../data/SettingData.h"

namespace zorupd {
namespace conn {

zorcommon::HttpSettings ConnectionManagerUpd::httpSettings() {
    zorcommon::HttpSettings http;
    http.timeoutSec = 20;
    http.connectTimeoutSec = 90;
    http.tcpKeepAlive = 1;
    if (const auto* setting = data::SettingData::getInstance()) {
        http.retryNum = setting->getIntValue("RETRY_NUM");
        http.retryIntervalUs = setting->getIntValue("RETRY_INTERVAL");
        http.timeoutSec = setting->getIntValue("CURL_TIMEOUT");
        http.connectTimeoutSec = setting->getIntValue("CURL_CONNECT_TIMEOUT");
        http.maxAnswerBytes = setting->getIntValue("MAX_ANSWER_BYTES");
    }
    return http;
}

ConnectionManagerUpd::ConnectionManagerUpd()
    : ConnectionManagerBase("upd", "ConnectionManagerUpd.cpp", httpSettings()) {}

}  // namespace conn
}  // namespace zorupd
