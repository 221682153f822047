#include "CmdInfoUpdate.h"

#include <tinyxml2.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>

#include "Base64.h"
#include "DbController.h"
#include "SettingData.h"
#include "StringUtil.h"
#include "UpdJobStore.h"

namespace zorcee {
namespace command {

namespace {
constexpr std::time_t kDay = 86400;
// Largest number of package entries, and of cancel ids, that one order may carry.
constexpr size_t kMaxOrderEntries = 1000;

const char* okText(bool ok) {
    return ok ? "success" : "failed";
}

// Base-10 conversion that skips leading white space and takes the longest valid prefix.
bool toInt(const char* text, int& value) {
    if (text == nullptr) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

// Seeded from the system's entropy source, never from the clock alone: terminals that receive
// one broadcast order in the same second must not all pick the same night and minute.
std::uint32_t entropySeed(std::time_t now) {
    try {
        std::random_device device;
        return device();
    } catch (const std::exception&) {
        // No entropy source: the process id and a fine clock still differ between terminals.
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        return static_cast<std::uint32_t>(now) ^ (static_cast<std::uint32_t>(::getpid()) << 16) ^
               static_cast<std::uint32_t>(ticks);
    }
}

std::vector<std::uint32_t> entropyDraws(std::time_t now, int count) {
    std::mt19937 generator(entropySeed(now));
    std::vector<std::uint32_t> draws;
    for (int i = 0; i < count; ++i) {
        draws.push_back(generator());
    }
    return draws;
}
}  // namespace

CmdInfoUpdate::CmdInfoUpdate(const picojson::value& order)
    : CmdInfoBase(order, "UpdateLogger", "ロガーソフトウェアアップデート指示"),
      clock_([] { return std::time(nullptr); }),
      random_(entropyDraws) {
    executable_ = true;
    hasOutput_ = true;
    useConnectionManager_ = false;
    sendResultToServer_ = true;
    log_ = spdlog::get("cee");
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execute {}", "true");
    const std::string path =
        setting_ != nullptr ? setting_->getStringValue("SYSTEM_SETTING_XML_FILE") : "";
    if (loadFromSystemSettingXml(path)) {
        ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate : loggerId -> {} : plantId -> {} : serverUrl-> {}",
               loggerId_, plantId_, serverUrl_);
    } else {
        ZLOG_W(log_, "[{}:{}] in CmdInfoUpdate : error load SystemSetting.xml");
    }
}

bool CmdInfoUpdate::isSystemSettingReady() const {
    return !loggerId_.empty() && loggerId_ != "unknown";
}

int CmdInfoUpdate::localeHour() const {
    return setting_ != nullptr ? setting_->getIntValue("LOCALE_HOUR") : 9;
}

std::time_t CmdInfoUpdate::zoneOffset() const {
    return static_cast<std::time_t>(localeHour()) * 3600;
}

std::string CmdInfoUpdate::scheduleTimeText(std::time_t t, const char* format) const {
    // The zone of UTC + LOCALE_HOUR, not the process's: the updater compares scheduled times
    // with the UTC clock moved by the same hours.
    return zorcommon::localeHourText(t, localeHour(), format);
}

// One update order on its way into the database: the request's contents, the run scheduled
// for it and the transaction of its rows (open while they are not committed).
struct CmdInfoUpdate::Job {
    std::string requestId;
    std::string commandId;
    std::vector<std::string> packages;
    std::vector<std::string> cancelIds;
    std::vector<std::string> foundIds;
    int type = -1;
    std::time_t runTime = 0;
    std::string errorText;
    int result = -1;
    std::optional<zorcommon::WriteTransaction> tx;

    bool active() const { return tx.has_value(); }
    // Ends the transaction at once; the order's own row, written before it, keeps the failure.
    void fail(int code, const char* text) {
        result = code;
        errorText = text;
        tx.reset();
    }
};

int CmdInfoUpdate::execCommand() {
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand");
    const std::string request = choiseDataValue();
    const std::string timestamp = choiseTimestamp();

    const std::string dbPath = setting_ != nullptr ? setting_->getStringValue("DB_PATH") : "";
    const std::string dbFile = setting_ != nullptr ? setting_->getStringValue("DB_FILE") : "";
    ZLOG_I(log_, "[{}:{}] -----  db dir ->{} : filename->{}", dbPath, dbFile);
    db::DbController db;
    const bool opened = db.open(dbPath, dbFile);
    std::int64_t id = 0;
    if (!opened) {
        ZLOG_W(log_, "[{}:{}] in execCommand : failed to open database");
    } else {
        id = db.insertCommandInfoBasic(name_, request, timestamp);
        if (id < 1) {
            ZLOG_W(log_,
                   "[{}:{}] in execCommand : failed to insert command_info : command_info.id -> "
                   "{} : command(json) -> {} : timestamp(json) -> {}",
                   id, name_, timestamp);
        }
    }

    Job job;
    readRequest(request, job);
    scheduleRun(job);
    if ((job.type == 0 || job.type == 1) && job.runTime > 0) {
        // An order that cannot be recorded gets no run: the answer must not promise one.
        if (!opened) {
            job.errorText = "Failed to open cee db [st=3]";
        } else if (id < 1) {
            job.errorText = "Failed to insert command info in cee db [st=3]";
        } else {
            writeJobRows(db, id, job);
        }
    }
    const std::string response = respond(job);
    if (opened) {
        recordAndCommit(db, id, job, response);
    }
    job.tx.reset();  // (ended before its connection is closed)
    db.close();

    const bool rewritten = reWriteData4Return(job.result == 0 ? 0 : 1, resultString_);
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand : rewrite data.value, data.result -> {}",
           okText(rewritten));
    const bool erased = eraseTarget();
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand : erase target -> {}", okText(erased));
    const bool stamped = reWriteTimestamp();
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand : rewrite timestamp -> {}", okText(stamped));
    return job.result;
}

void CmdInfoUpdate::readRequest(const std::string& request, Job& job) {
    try {
        job.type = getPkgListFromRecvData(request, job.requestId, job.commandId, job.packages,
                                          job.cancelIds);
        ZLOG_I(log_,
               "[{}:{}] in CmdInfoUpdate execCommand : xml parser : command_request_id -> {} : "
               "command_id -> {} : package list size -> {} : cancel command_id size -> {}",
               job.requestId, job.commandId, job.packages.size(), job.cancelIds.size());
    } catch (const std::exception& e) {
        ZLOG_E(log_, "[{}:{}] in CmdInfoUpdate execCommand : xml parser error -> {}", e.what());
        job.type = -1;
    }

    if (job.type != 0 && job.type != 1) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate execCommand : failed to get update packages : "
               "command_type -> {}",
               job.type);
        job.errorText = "XML parsing error (err=" + std::to_string(job.type) + ") [st=0]";
        job.type = -3;
    } else if (job.type == 1 && job.packages.empty() && job.cancelIds.empty()) {
        ZLOG_E(log_, "[{}:{}] in CmdInfoUpdate execCommand : no target to update package");
        job.errorText =
            "Failed to get update target and command_id list to cancel (command_type=1) [st1]";
        job.type = -2;
    } else if (job.type == 1 && job.packages.empty()) {
        ZLOG_W(log_,
               "[{}:{}] in CmdInfoUpdate execCommand : no target to update package, but there is "
               "command_id to delete (cancel cid size={})",
               job.cancelIds.size());
    } else if (job.type == 0 && job.packages.empty()) {
        ZLOG_E(log_, "[{}:{}] in CmdInfoUpdate execCommand ({}) : no target to update package",
               "normal update");
        job.errorText = "Failed to get update target (command_type=0) [st=1]";
        job.type = -1;
    }
    ZLOG_I(log_,
           "[{}:{}] in CmdInfoUpdate execCommand : update package number : command_type -> {}",
           job.type);
}

void CmdInfoUpdate::scheduleRun(Job& job) {
    if ((job.type == 0 || job.type == 1) && !isSystemSettingReady()) {
        job.type = -4;
        job.errorText = "SystemSettins.xml setting is not over [st=0]";
        ZLOG_W(log_, "[{}:{}] in CmdInfoUpdate execCommand : SystemSetting.xml is not setup.");
    }
    if (job.type == 0) {
        job.runTime = calculateTimeToExecute();
        if (job.runTime == 0) {
            job.errorText = "Failed to calculate update start time (command_type=0) [st=2]";
        }
    } else if (job.type == 1) {
        job.runTime = calculateTimeToEmargencyExecute();
        if (job.runTime == 0) {
            job.errorText = "Failed to calculate update start time (command_type=1) [st=2]";
        }
    }
}

void CmdInfoUpdate::writeJobRows(db::DbController& db, std::int64_t id, Job& job) {
    if (!job.tx.emplace(db.getDb()).began()) {
        job.tx.reset();
        job.errorText = "Failed to begin transaction in cee db [st=3]";
        return;
    }
    if (job.active()) {
        const int n =
            db.insertPackageList(id, setting_->getStringValue("REMOVE_PKG_DIR"), job.packages);
        if (n >= 0) {
            ZLOG_I(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : DB insertPackageList : insert col "
                   "num -> {}",
                   n);
            job.result = 0;
        } else {
            ZLOG_W(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : failed to insert package list : "
                   "insert col num -> {}",
                   n);
            job.fail(-2, "Failed to insert package list in cee db [st=3]");
        }
    }
    if (job.active()) {
        const int n = db.selectCommandInfoForCancel(job.cancelIds, job.foundIds);
        if (n >= 0) {
            ZLOG_I(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : DB selectCommandInfoForCancel : "
                   "select col num -> {}",
                   n);
            job.result = 0;
        } else {
            ZLOG_W(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : failed to find cancel command_id : "
                   "select col num -> {}",
                   n);
            job.fail(-3, "Failed to find command_id list in cee db [st=3]");
        }
    }
    if (job.active()) {
        const int n = db.insertCancelCidList(id, job.cancelIds, job.foundIds);
        if (n >= 0) {
            ZLOG_I(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : DB insertCancelCidList : insert col "
                   "num -> {}",
                   n);
            job.result = 0;
        } else {
            ZLOG_W(log_,
                   "[{}:{}] in CmdInfoUpdate execCommand : failed to insert cancel command_id "
                   "list : insert col num -> {}",
                   n);
            job.fail(-4, "Failed to insert cancel command_id list in cee db [st=3]");
        }
    }
    writeJobRun(db, id, job);
}

// The run of the job: the order's update fields, older runs of the same update superseded, the
// new run. Inside the job's open transaction.
void CmdInfoUpdate::writeJobRun(db::DbController& db, std::int64_t id, Job& job) {
    if (job.active()) {
        const std::string runText = scheduleTimeText(job.runTime, "%Y-%m-%d %H:%M:%S");
        if (job.result == 0) {
            const int n =
                db.updateCommandInfoForUpd(id, job.commandId, job.requestId, job.type, runText);
            if (n >= 1) {
                ZLOG_I(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : DB updateCommandInfoForUpd : update "
                       "col num -> {}",
                       n);
            } else {
                ZLOG_W(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : failed to update command_info (sw "
                       "upd) : update col num -> {}",
                       n);
                job.fail(-5, "Failed to insert package list in cee db [st=3]");
            }
        }
        if (job.active()) {
            const int n = db.updateProcInfo(job.commandId);
            if (n >= 1) {
                ZLOG_I(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : DB updateProcInfo : update result "
                       "-> {}",
                       n);
            } else {
                ZLOG_W(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : failed to update proc_info : "
                       "update result -> {}",
                       n);
                job.fail(-6, "Failed to update proc info in cee db [st=3]");
            }
        }
        if (job.active()) {
            const int n = db.insertProcInfo(id, runText);
            if (n >= 1) {
                ZLOG_I(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : DB insertProcInfo : insert col num "
                       "-> {}",
                       n);
            } else {
                ZLOG_W(log_,
                       "[{}:{}] in CmdInfoUpdate execCommand : failed to insert proc_info : "
                       "insert result -> {}",
                       n);
                job.fail(-6, "Failed to insert proc info in cee db [st=3]");
            }
        }
    }
}

std::string CmdInfoUpdate::respond(const Job& job) {
    // The response names a run time only while a run is about to be committed.
    const std::string response = makeResponseXml(
        job.requestId, job.commandId, job.active() ? job.runTime : 0, job.errorText, job.foundIds);
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand : xml return data -> {}", response);
    resultString_ = encodeDataValue(response);
    return response;
}

void CmdInfoUpdate::recordAndCommit(db::DbController& db, std::int64_t id, Job& job,
                                    std::string response) {
    const int n = db.updateCommandInfoAtId(id, job.errorText, job.result, response);
    if (n < 1) {
        ZLOG_W(log_,
               "[{}:{}] in CmdInfoUpdate execCommand : failed to update command_info : update col "
               "num -> {}",
               n);
        job.result = -9;
        if (job.active()) {
            job.fail(-9, "Failed to update command info in cee db [st=3]");
            response = respond(job);
        }
    }
    if (job.active()) {
        const bool committed = job.tx->commit();
        ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate execCommand : DB commit -> {}", okText(committed));
        if (!committed) {
            // Nothing of the job stays (a failed commit is rolled back); the failure goes into
            // the order's row if possible.
            job.fail(-9, "Failed to commit update job in cee db [st=3]");
            response = respond(job);
            db.updateCommandInfoAtId(id, job.errorText, job.result, response);
        }
    }
}

int CmdInfoUpdate::getPkgListFromRecvData(const std::string& xml, std::string& requestId,
                                          std::string& commandId,
                                          std::vector<std::string>& packageEntries,
                                          std::vector<std::string>& cancelIds) {
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate getPkgListFromRecvData");
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    doc.Parse(xml.c_str(), xml.size());

    const tinyxml2::XMLElement* root = doc.FirstChildElement(xmlRoot_.c_str());
    if (root == nullptr) {
        ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : not found element -> {}", xmlRoot_);
        return -101;
    }
    const tinyxml2::XMLElement* data = root->FirstChildElement(xmlData_.c_str());
    if (data == nullptr) {
        ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : not found element -> {}", xmlData_);
        return -102;
    }
    const char* rid = root->Attribute(xmlRootId_.c_str());
    if (rid == nullptr) {
        ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : not found attibute ({})", xmlRootId_);
        return -103;
    }
    requestId = rid;
    const tinyxml2::XMLElement* typeElement = data->FirstChildElement(xmlType_.c_str());
    if (typeElement == nullptr) {
        ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : not found ({})", xmlType_);
        return -106;
    }
    int type = 0;
    if (!toInt(typeElement->GetText(), type)) {
        ZLOG_W(log_,
               "[{}:{}] in getPkgListFromRecvData : not found or change char to int failed ({}) "
               "-> {}",
               xmlType_, 0);
        return -104;
    }
    const char* cid = typeElement->Attribute(xmlTypeId_.c_str());
    if (cid == nullptr) {
        ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : not found attibute ({})", xmlTypeId_);
        return -105;
    }
    commandId = cid;

    for (const auto* p = data->FirstChildElement(xmlPackage_.c_str()); p != nullptr;
         p = p->NextSiblingElement(xmlPackage_.c_str())) {
        if (packageEntries.size() >= kMaxOrderEntries) {
            ZLOG_W(log_, "[{}:{}] in getPkgListFromRecvData : too many entries ({}) : more than {}",
                   xmlPackage_, kMaxOrderEntries);
            return kTooManyEntries;
        }
        const char* text = p->GetText();
        if (text == nullptr) {
            throw std::runtime_error("package element without text");
        }
        // A path written with backslashes becomes "dir/dir/ file"; one written with "/" stays
        // whole behind a blank. The package list splits the entry at its last "/".
        const auto parts = zorcommon::splitString(text, "\\", true, false);
        if (parts.empty()) {
            continue;
        }
        std::string entry;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            entry += parts[i] + "/";
        }
        entry += " " + parts.back();
        packageEntries.push_back(entry);
    }
    ZLOG_I(log_, "[{}:{}] in getPkgListFromRecvData : get package names : list size -> {}",
           packageEntries.size());

    if (type == 1) {
        if (const auto* list = data->FirstChildElement(xmlCancelList_.c_str())) {
            for (const auto* p = list->FirstChildElement(xmlCancelEntry_.c_str()); p != nullptr;
                 p = p->NextSiblingElement(xmlCancelEntry_.c_str())) {
                if (cancelIds.size() >= kMaxOrderEntries) {
                    ZLOG_W(log_,
                           "[{}:{}] in getPkgListFromRecvData : too many entries ({}) : more "
                           "than {}",
                           xmlCancelList_, kMaxOrderEntries);
                    return kTooManyEntries;
                }
                // An entry without text names nothing to cancel.
                if (const char* text = p->GetText()) {
                    cancelIds.emplace_back(text);
                }
            }
            ZLOG_I(log_,
                   "[{}:{}] in getPkgListFromRecvData : get cancel command ids : list size -> {}",
                   cancelIds.size());
        }
    }
    return type;
}

std::time_t CmdInfoUpdate::timeOfDayToEpoch(const std::string& text) {
    // Midnight of the current day in the zone of the schedule (UTC + LOCALE_HOUR), so that a
    // time of day never lands on the day before in the early hours.
    const std::time_t offset = zoneOffset();
    const std::time_t base = (now() + offset) / kDay * kDay - offset;
    const auto parts = zorcommon::splitString(text, ":", true, false);
    if (parts.size() != 3) {
        return 0;
    }
    int h = 0;
    int m = 0;
    int s = 0;
    if (!toInt(parts[0].c_str(), h) || !toInt(parts[1].c_str(), m) || !toInt(parts[2].c_str(), s)) {
        return 0;
    }
    return base + static_cast<std::time_t>(h) * 3600 + static_cast<std::time_t>(m) * 60 + s;
}

std::time_t CmdInfoUpdate::calculateTimeToExecute() {
    std::time_t start = timeOfDayToEpoch(setting_->getStringValue("TIME_START"));
    if (start == 0) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : error : failed to get start "
               "time");
        return 0;
    }
    std::time_t end = timeOfDayToEpoch(setting_->getStringValue("TIME_END"));
    if (end == 0) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : error : failed to get end time");
        return 0;
    }
    const std::time_t current = now();
    if (start <= current) {
        start += kDay;
        end += kDay;
    }
    if (end < start) {
        end += kDay;
    }
    const std::time_t minutes = (end - start) / 60;
    const int days = setting_->getIntValue("DAY_SPAN");
    // Windows below one minute or a span below one day cannot hold a run (and would divide
    // by zero below).
    if (minutes < 1) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : error : update window is "
               "shorter than one minute");
        return 0;
    }
    if (days < 1) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : error : day span is below 1 "
               "({})",
               days);
        return 0;
    }
    const auto draws = random_(current, 2);
    const std::time_t minuteOffset = static_cast<std::time_t>(draws.at(0) % minutes);
    const std::time_t dayOffset = static_cast<std::time_t>(draws.at(1) % days);
    ZLOG_I(log_,
           "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : start date -> {} : end date -> {}",
           scheduleTimeText(start, "%Y-%m-%d %X"),
           scheduleTimeText(end + static_cast<std::time_t>(days - 1) * kDay, "%Y-%m-%d %X"));
    std::time_t run = start + minuteOffset * 60 + dayOffset * kDay;
    // A run never lies before the order: one that would is moved to the next day of the
    // window.
    while (run <= current) {
        run += kDay;
    }
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate calculateTimeToExecute : execute date -> {}",
           scheduleTimeText(run, "%Y-%m-%d %X"));
    return run;
}

std::time_t CmdInfoUpdate::calculateTimeToEmargencyExecute() {
    const int s = setting_->getIntValue("EMARG_UPD_START_SEC");
    const int e = setting_->getIntValue("EMARG_UPD_END_SEC");
    ZLOG_I(log_, "[{}:{}] in calculateTimeToEmargencyExecute : start time -> {} : end time -> {}",
           s, e);
    if (s < 0) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : error : failed to get "
               "start time");
        return 0;
    }
    if (e < 1) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : error : failed to get "
               "end time");
        return 0;
    }
    if (e < s) {
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : error : end time({}) "
               "is earlier than start time({})",
               e, s);
        return 0;
    }
    if (e == s) {
        // An empty window has no moment to draw from.
        ZLOG_E(log_,
               "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : error : end time({}) "
               "is not later than start time({})",
               e, s);
        return 0;
    }
    const std::time_t current = now();
    const std::time_t offset =
        static_cast<std::time_t>(random_(current, 1).at(0) % static_cast<std::uint32_t>(e - s));
    ZLOG_I(log_,
           "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : start date -> {} : end "
           "date -> {}",
           scheduleTimeText(current + s, "%Y-%m-%d %X"),
           scheduleTimeText(current + e, "%Y-%m-%d %X"));
    const std::time_t run = current + s + offset;
    ZLOG_I(log_, "[{}:{}] in CmdInfoUpdate calculateTimeToEmargencyExecute : execute date -> {}",
           scheduleTimeText(run, "%Y-%m-%d %X"));
    return run;
}

std::string CmdInfoUpdate::makeResponseXml(const std::string& requestId,
                                           const std::string& commandId, std::time_t runTime,
                                           const std::string& errorText,
                                           const std::vector<std::string>& foundIds) const {
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    auto* root = doc.NewElement(xmlRoot_.c_str());
    root->SetAttribute("id", requestId.c_str());
    root->SetAttribute("loggerId", loggerId_.c_str());
    root->SetAttribute("plantId", plantId_.c_str());
    doc.InsertEndChild(root);
    auto* command = doc.NewElement("command");
    command->SetText("NotifyUpdateLoggerResponse");
    root->InsertEndChild(command);
    auto* data = doc.NewElement(xmlData_.c_str());
    root->InsertEndChild(data);

    auto* entry = doc.NewElement(xmlEntry_.c_str());
    entry->SetAttribute(xmlEntryPos_.c_str(), "1");
    entry->SetAttribute(xmlEntryId_.c_str(), commandId.c_str());
    entry->SetText(runTime > 0 ? scheduleTimeText(runTime, "%Y%m%d%H%M%S").c_str() : "0");
    data->InsertEndChild(entry);

    auto* statusList = doc.NewElement("status_list");
    data->InsertEndChild(statusList);
    if (runTime > 0) {
        int position = 1;
        for (const auto& id : foundIds) {
            auto* p = doc.NewElement(xmlEntry_.c_str());
            p->SetAttribute(xmlEntryPos_.c_str(), std::to_string(position++).c_str());
            p->SetAttribute(xmlEntryId_.c_str(), id.c_str());
            p->SetText("4");
            statusList->InsertEndChild(p);
        }
    } else {
        auto* detail = doc.NewElement("detail");
        detail->SetText(errorText.c_str());
        data->InsertEndChild(detail);
    }
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

}  // namespace command
}  // namespace zorcee
