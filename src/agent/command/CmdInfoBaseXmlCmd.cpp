#include "CmdInfoBaseXmlCmd.h"

#include "ConnectionManager.h"
#include "DbController.h"
#include "SettingData.h"

#include <utility>

namespace zorcee {
namespace command {

CmdInfoBaseXmlCmd::CmdInfoBaseXmlCmd(picojson::value order, const std::string& name,
                                     const std::string& description, const std::string& className)
    : CmdInfoBase(std::move(order), name, description), className_(className) {}

CmdInfoBaseXmlCmd::CmdInfoBaseXmlCmd(picojson::value order, const XmlCmdSpec& spec)
    : CmdInfoBaseXmlCmd(std::move(order), spec.name, spec.description, spec.className) {
    executable_ = true;
    hasOutput_ = true;
    useConnectionManager_ = true;
    sendResultToServer_ = false;
    log_ = spdlog::get("cee");
    if (spec.executeForm) {
        ZLOG_UNIT_I(log_, spec.unit, "[{}:{}] in {} execute {}", className_, "true");
    } else {
        ZLOG_UNIT_I(log_, spec.unit, "[{}:{}] in {} executable -> {}", className_, "true");
    }
}

int CmdInfoBaseXmlCmd::execCommand() {
    const std::string& cls = className_;
    ZLOG_I(log_, "[{}:{}] in {} execCommand", cls);
    std::string request = choiseDataValue();
    // The Base64 text is not needed any more (the answer replaces it): an upload order would
    // otherwise hold its payload twice while it is posted and recorded.
    if (orderJson_.is<picojson::object>()) {
        picojson::value& data = orderJson_.get<picojson::object>()["data"];
        if (data.is<picojson::object>()) {
            auto& members = data.get<picojson::object>();
            const auto value = members.find("value");
            if (value != members.end() && value->second.is<std::string>()) {
                std::string().swap(value->second.get<std::string>());
            }
        }
    }
    const std::string serverTime = choiseTimestamp();

    db::DbController db;
    const bool opened = setting_ != nullptr && db.open(setting_->getStringValue("DB_PATH"),
                                                       setting_->getStringValue("DB_FILE"));
    std::int64_t id = 0;
    if (opened) {
        id = db.insertCommandInfoBasic(name_, request, serverTime);
        if (id < 1) {
            ZLOG_W(log_,
                   "[{}:{}] in {} execCommand : failed to insert command_info : command_info.id "
                   "-> {} : command(json) -> {} : timestamp(json) -> {}",
                   cls, id, name_, serverTime);
        }
    } else {
        ZLOG_W(log_, "[{}:{}] in {} execCommand : failed to open database", cls);
    }

    const std::string url = setting_ != nullptr ? setting_->getHttpUrl() : "";
    ZLOG_I(log_, "[{}:{}] in {} execCommand : access url -> {} : send data -> {}", cls, url,
           request);
    zorcommon::flushLog(log_);

    std::string answer;
    const int status =
        connectionManager_ != nullptr ? connectionManager_->httpSendPost(url, request, answer) : -1;
    // Posted and recorded: the row's update below does not need it, and SQLite reads and
    // rewrites the whole row (request included) while it runs.
    std::string().swap(request);
    ZLOG_I(log_, "[{}:{}] in {} execCommand : execute result -> {} : ({})", cls,
           status == 0 ? "success" : "failed", status);
    if (status == 0) {
        ZLOG_I(log_, "[{}:{}] in {} execCommand : result str -> {}", cls, answer);
        reWriteData4Return(0, encodeDataValue(answer));
    } else {
        ZLOG_W(log_, "[{}:{}] in {} execCommand : result str -> not set", cls);
        reWriteData4Return(1, "");
    }

    if (opened) {
        if (id < 1) {
            ZLOG_W(log_,
                   "[{}:{}] in {} execCommand : do not update command_info : command_info.id -> "
                   "{}",
                   cls, id);
        } else {
            // An answer above the limit is the one failure the code alone does not explain.
            const char* error = status == 0 ? ""
                                : status == zorcommon::kAnswerTooLarge
                                    ? "8082 port send error. answer larger than MAX_ANSWER_BYTES"
                                    : "8082 port send error.";
            const int r = db.updateCommandInfoAtId(id, error, status, answer);
            if (r < 1) {
                ZLOG_W(log_,
                       "[{}:{}] in {} execCommand : failed to update command_info : ret -> {}", cls,
                       r);
            }
        }
    }
    db.close();

    const bool erased = eraseTarget();
    ZLOG_I(log_, "[{}:{}] in {} execCommand : erase target -> {}", cls,
           erased ? "success" : "failed");
    const bool stamped = reWriteTimestamp();
    ZLOG_I(log_, "[{}:{}] in {} execCommand : rewrite timestamp -> {}", cls,
           stamped ? "success" : "failed");
    zorcommon::flushLog(log_);
    return status;
}

}  // namespace command
}  // namespace zorcee
