#include "SettingData.h"

#include <memory>
#include <vector>

namespace zorupd {
namespace data {

namespace {
using zorcommon::SettingKind;
using zorcommon::SettingSpec;

const std::vector<SettingSpec>& updaterSettings() {
    static const std::vector<SettingSpec> specs = {
        {nullptr, "SYSTEM_SETTING_XML_FILE", SettingKind::String,
         "/usr/local/etc/kestrelwood/SettingsXML/SystemSetting.xml", 0},
        {nullptr, "MQTT_CONNECT", SettingKind::Bool, nullptr, 1},
        {"ALIVE_CHECK", "PING_SERVER", SettingKind::String, SettingData::kDefaultPingServer, 0},
        {"ALIVE_CHECK", "PING_NUM", SettingKind::Int, nullptr, 1},
        {"LOG", "LOG_DIR", SettingKind::String, "/var/local/zorlog", 0},
        {"LOG", "LOG_FILE", SettingKind::String, "cee_upd.log", 0},
        {"LOG", "LOG_MAX_BYTES", SettingKind::Int, nullptr, 100000},
        {"LOG", "LOG_COUNTS", SettingKind::Int, nullptr, 5},
        {"PKG_UPDATE", "LIST_FILE_PATH", SettingKind::String, "/usr/local/zorupdate", 0},
        {"PKG_UPDATE", "LIST_PRE_NAME", SettingKind::String, "update_list_", 0},
        {"PKG_UPDATE", "UPDATE_LOG_DIR", SettingKind::String, "/var/local/update_log", 0},
        {"PKG_UPDATE", "UPDATE_LOG_PRE_NAME", SettingKind::String, "update.log", 0},
        {"PKG_UPDATE", "CANCEL_LOG_PRE_NAME", SettingKind::String, "cancel.log", 0},
        {"PKG_UPDATE", "UPDATE_CMD_LINE", SettingKind::String, "/usr/local/zorcee/package_updater",
         0},
        {"PKG_UPDATE", "PKG_DIR", SettingKind::String, "/var/local/update_packages", 0},
        {"PKG_UPDATE", "RESULT_DIR", SettingKind::String, "/var/tmp", 0},
        {"PKG_UPDATE", "RESULT_FILE", SettingKind::String, "logger_reboot", 0},
        {"PKG_UPDATE", "RESULT_FAIL_FILE", SettingKind::String, "update_failed", 0},
        {"PKG_UPDATE", "REBOOT_COMMAND", SettingKind::String, "/usr/local/zorcee/update_finish.sh",
         0},
        {"PKG_UPDATE", "PKG_FOR_CONN_CHK", SettingKind::String, "tusk-batfw", 0},
        {"PKG_UPDATE", "LOCALE_HOUR", SettingKind::Int, nullptr, 9},
        {"UPDATE_RETRY", "UPD_RETRY_INTERVAL", SettingKind::Int, nullptr, 120},
        {"UPDATE_RETRY", "UPD_RETRY_NUM", SettingKind::Int, nullptr, 5},
        {"DATABASE", "DB_PATH", SettingKind::String, "/var/local/zorcee", 0},
        {"DATABASE", "DB_FILE", SettingKind::String, "cee_pkg_upd.db", 0},
        {"DATABASE", "LOCK_CEE", SettingKind::String, "db_cee.lock", 0},
        {"DATABASE", "LOCK_UPD", SettingKind::String, "db_upd.lock", 0},
        {"DATABASE", "BUSY_TIMEOUT_MS", SettingKind::Int, nullptr, 3000},
        {"QMT_HTTP", "URL", SettingKind::String, "http://localhost:8082/", 0},
        {"QMT_HTTP", "RETRY_NUM", SettingKind::Int, nullptr, 3},
        {"QMT_HTTP", "RETRY_INTERVAL", SettingKind::IntMillisToMicros, nullptr, 3000000},
        {"QMT_HTTP", "CURL_TIMEOUT", SettingKind::Int, nullptr, 20},
        {"QMT_HTTP", "CURL_CONNECT_TIMEOUT", SettingKind::Int, nullptr, 90},
        {"QMT_HTTP", "MAX_ANSWER_BYTES", SettingKind::Int, nullptr, 33554432},
        {"QMT_HTTP", "CA_FILE", SettingKind::String, "", 0},
        {"QMT_HTTP", "TLS_VERIFY", SettingKind::Bool, nullptr, 1},
        {"HEALTH", "ENABLED", SettingKind::Bool, nullptr, 1},
        {"HEALTH", "SETTLE_S", SettingKind::Int, nullptr, 60},
        {"HEALTH", "INTERVAL_S", SettingKind::Int, nullptr, 30},
        {"HEALTH", "WINDOW_S", SettingKind::Int, nullptr, 600},
        {"HEALTH", "CONSECUTIVE_OK", SettingKind::Int, nullptr, 2},
        {"HEALTH", "MAX_VERIFY_STARTS", SettingKind::Int, nullptr, 3},
        {"HEALTH", "COMMAND", SettingKind::String, "", 0},
        {"HEALTH", "COMMAND_TIMEOUT_S", SettingKind::Int, nullptr, 30},
        {"HEALTH", "AUTO_ROLLBACK", SettingKind::Bool, nullptr, 1},
        {"HEALTH", "MAX_ROLLBACK_ATTEMPTS", SettingKind::Int, nullptr, 2},
    };
    return specs;
}

std::unique_ptr<SettingData>& instance() {
    static std::unique_ptr<SettingData> single;
    return single;
}
}  // namespace

const std::array<const char*, 54> SettingData::kKeyNames = {
    "SYSTEM_SETTING_XML_FILE",
    "MQTT_CONNECT",
    "ALIVE_CHECK",
    "PING_SERVER",
    "PING_NUM",
    "LOG",
    "LOG_DIR",
    "LOG_FILE",
    "LOG_MAX_BYTES",
    "LOG_COUNTS",
    "PKG_UPDATE",
    "LIST_FILE_PATH",
    "LIST_PRE_NAME",
    "UPDATE_LOG_DIR",
    "UPDATE_LOG_PRE_NAME",
    "CANCEL_LOG_PRE_NAME",
    "UPDATE_CMD_LINE",
    "PKG_DIR",
    "RESULT_DIR",
    "RESULT_FILE",
    "RESULT_FAIL_FILE",
    "REBOOT_COMMAND",
    "PKG_FOR_CONN_CHK",
    "LOCALE_HOUR",
    "UPDATE_RETRY",
    "UPD_RETRY_INTERVAL",
    "UPD_RETRY_NUM",
    "DATABASE",
    "DB_PATH",
    "DB_FILE",
    "LOCK_CEE",
    "LOCK_UPD",
    "BUSY_TIMEOUT_MS",
    "QMT_HTTP",
    "URL",
    "RETRY_NUM",
    "RETRY_INTERVAL",
    "CURL_TIMEOUT",
    "CURL_CONNECT_TIMEOUT",
    "MAX_ANSWER_BYTES",
    "CA_FILE",
    "TLS_VERIFY",
    "HEALTH",
    "ENABLED",
    "SETTLE_S",
    "INTERVAL_S",
    "WINDOW_S",
    "CONSECUTIVE_OK",
    "MAX_VERIFY_STARTS",
    "COMMAND",
    "COMMAND_TIMEOUT_S",
    "AUTO_ROLLBACK",
    "MAX_ROLLBACK_ATTEMPTS",
    "GROUP",
};

SettingData::SettingData(const std::string& path) : path_(path), store_(updaterSettings()) {
    // The outcome is not acted on: whatever the file does not give keeps its default.
    store_.load(path_);
}

void SettingData::createInstance(const std::string& path) {
    if (!instance()) {
        instance() = std::make_unique<SettingData>(path);
    }
}

SettingData* SettingData::getInstance() {
    return instance().get();
}

void SettingData::destroyInstance() {
    instance().reset();
}

std::string SettingData::getStringValue(const std::string& key) const {
    return store_.getStringValue(key);
}

int SettingData::getIntValue(const std::string& key) const {
    return store_.getIntValue(key);
}

}  // namespace data
}  // namespace zorupd
