#include "SettingData.h"

#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "ExecCmd.h"
#include "FileUtil.h"
#include "StringUtil.h"

namespace zorcee {
namespace data {

namespace {
using zorcommon::SettingKind;
using zorcommon::SettingSpec;

const std::vector<SettingSpec>& agentSettings() {
    static const std::vector<SettingSpec> specs = {
        {nullptr, "CMD_SUBSTRATE_CODE", SettingKind::String,
         "/usr/local/bin/substratecode-generator", 0},
        {nullptr, "SYSTEM_SETTING_XML_FILE", SettingKind::String,
         "/usr/local/etc/kestrelwood/SettingsXML/SystemSetting.xml", 0},
        {nullptr, "PLATFORM", SettingKind::String, "unknown", 0},
        {nullptr, "FILE_GROUP", SettingKind::String, "/var/tmp/group", 0},
        {nullptr, "SPOOL_DIR", SettingKind::String, "/var/local/zorcee/spool", 0},
        {"LOG", "LOG_DIR", SettingKind::String, "/var/local/zorlog", 0},
        {"LOG", "LOG_FILE", SettingKind::String, "cee.log", 0},
        {"LOG", "LOG_MAX_BYTES", SettingKind::Int, nullptr, 100000},
        {"LOG", "LOG_COUNTS", SettingKind::Int, nullptr, 5},
        {"QMT_HTTP", "URL", SettingKind::String, "http://localhost:8082/", 0},
        {"QMT_HTTP", "RETRY_NUM", SettingKind::Int, nullptr, 3},
        {"QMT_HTTP", "RETRY_INTERVAL", SettingKind::IntMillisToMicros, nullptr, 3000000},
        {"QMT_HTTP", "CURL_TIMEOUT", SettingKind::Int, nullptr, 120},
        {"QMT_HTTP", "CURL_CONNECT_TIMEOUT", SettingKind::Int, nullptr, 30},
        {"QMT_HTTP", "MAX_ANSWER_BYTES", SettingKind::Int, nullptr, 33554432},
        {"QMT_HTTP", "CA_FILE", SettingKind::String, "", 0},
        {"QMT_HTTP", "TLS_VERIFY", SettingKind::Bool, nullptr, 1},
        {"PKG_UPDATE", "TIME_START", SettingKind::String, "23:00:00", 0},
        {"PKG_UPDATE", "TIME_END", SettingKind::String, "03:59:59", 0},
        {"PKG_UPDATE", "DAY_SPAN", SettingKind::Int, nullptr, 3},
        {"PKG_UPDATE", "LOCALE_HOUR", SettingKind::Int, nullptr, 9},
        {"PKG_UPDATE", "EMARG_UPD_START_SEC", SettingKind::Int, nullptr, 60},
        {"PKG_UPDATE", "EMARG_UPD_END_SEC", SettingKind::Int, nullptr, 360},
        {"PKG_UPDATE", "LIST_FILE_PATH", SettingKind::String, "/usr/local/zorupdate", 0},
        {"PKG_UPDATE", "LIST_PRE_NAME", SettingKind::String, "update_list_", 0},
        {"PKG_UPDATE", "REMOVE_PKG_DIR", SettingKind::String, "/var/repos/", 0},
        {"DATABASE", "DB_PATH", SettingKind::String, "/var/local/zorcee", 0},
        {"DATABASE", "DB_FILE", SettingKind::String, "cee_pkg_upd.db", 0},
        {"DATABASE", "LOCK_CEE", SettingKind::String, "db_cee.lock", 0},
        {"DATABASE", "LOCK_UPD", SettingKind::String, "db_upd.lock", 0},
        {"DATABASE", "BUSY_TIMEOUT_MS", SettingKind::Int, nullptr, 3000},
    };
    return specs;
}

std::unique_ptr<SettingData>& instance() {
    static std::unique_ptr<SettingData> single;
    return single;
}
}  // namespace

SettingData::SettingData(const std::string& path, Identity identity)
    : path_(path), store_(agentSettings()) {
    store_.load(path_);
    if (identity == Identity::Skip) {
        return;
    }
    groupName_ = readGroupName(store_.getStringValue("FILE_GROUP"));
    substrateCode_ = readSubstrateCode(store_.getStringValue("CMD_SUBSTRATE_CODE"));
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

const std::string& SettingData::getHttpUrl() const {
    return store_.stringRef("URL");
}

std::string SettingData::getPlatform() const {
    return store_.getStringValue("PLATFORM");
}

std::string SettingData::readGroupName(const std::string& groupFile) {
    std::string text;
    const auto read = zorcommon::readBoundedFile(groupFile, kMaxGroupFileBytes, true, text);
    if (read == zorcommon::ReadFileResult::Missing) {
        return "all";
    }
    if (read != zorcommon::ReadFileResult::Ok) {
        std::cerr << "group file " << groupFile << " not read ("
                  << zorcommon::readFileResultText(read) << "): group name all" << std::endl;
        return "all";
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind('#', 0) == 0 || line.rfind("GROUP", 0) != 0) {
            continue;
        }
        const auto parts = zorcommon::splitString(line, "=", false, false);
        if (parts.size() == 2) {
            return parts[1];
        }
    }
    return "all";
}

std::string SettingData::readSubstrateCode(const std::string& command, int timeoutMs) {
    try {
        std::string output;
        int status = -1;
        const auto run =
            zorcommon::execCmdBounded(command, kMaxSubstrateCodeOutput, timeoutMs, output, status);
        if (run == zorcommon::BoundedExecResult::TimedOut ||
            run == zorcommon::BoundedExecResult::OutputTooLarge) {
            std::cerr << "substrate code command " << command << " "
                      << zorcommon::boundedExecResultText(run) << ": substrate code empty"
                      << std::endl;
            return "";
        }
        if (run != zorcommon::BoundedExecResult::Ok || status != 0) {
            return "";
        }
        const auto newline = output.find('\n');
        return newline == std::string::npos ? output : output.substr(0, newline);
    } catch (const std::exception&) {
        return "";
    }
}

}  // namespace data
}  // namespace zorcee
