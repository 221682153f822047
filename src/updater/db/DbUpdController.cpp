#include "DbUpdController.h"

#include <climits>
#include <cstring>

#include "UpdJobStore.h"

namespace zorupd {
namespace db {

namespace {
using data::CancelProcInfo;
using data::PackageInfoData;
using data::UpdBasicInfo;

const char* const kSelectTarget =
    "SELECT proc_info.id as proc_info_id , command_info_id as command_info_id, "
    "command_info.upd_command_id as command_id, command_info.upd_command_type as command_type "
    "FROM proc_info LEFT JOIN command_info ON proc_info.command_info_id = command_info.id WHERE "
    "sched_proc_time <= datetime( 'now', ? ) AND proc_status = 0 AND ( "
    "command_info.upd_command_type = 0 OR command_info.upd_command_type = 1 OR "
    "command_info.upd_command_type = 2 ) ORDER BY command_info.upd_command_type DESC , "
    "sched_proc_time ASC LIMIT 1;";
const char* const kSelectCancelRuns =
    "SELECT m.id, m.command_info_id, m.proc_status FROM proc_info AS m LEFT JOIN command_info ON "
    "m.command_info_id = command_info.id WHERE sched_proc_time = ( SELECT MAX(sched_proc_time) "
    "FROM proc_info AS s WHERE m.command_info_id = s.command_info_id ) AND ( m.proc_status = 0 "
    "OR m.proc_status = 1 ) AND command_info.upd_command_id IN ( SELECT cancel_command_id FROM "
    "cancel_cid_list WHERE command_info_id = ? AND is_cancel = 1 ) ORDER BY "
    "command_info.upd_command_type DESC, m.r_start_time DESC;";
const char* const kSelectPackages =
    "SELECT id, command_info_id, package_filename, package_name, package_path, "
    "old_package_filename FROM package_list WHERE command_info_id = ? ORDER BY seq_no ASC;";
const char* const kUpdateOldPackage =
    "UPDATE package_list SET old_package_filename = ?, update_time = CURRENT_TIMESTAMP WHERE id "
    "= ?;";
const char* const kSelectCancelPackagesTemplate =
    "SELECT id, command_info_id, package_filename, package_name, package_path, "
    "old_package_filename FROM package_list WHERE command_info_id IN ( #rep_word# );";
const char* const kUpdateCancel =
    "UPDATE proc_info SET proc_status = ?, cancel_time = CURRENT_TIMESTAMP, update_time = "
    "CURRENT_TIMESTAMP WHERE id = ?;";
const char* const kUpdateResult =
    "UPDATE proc_info SET proc_status = ?, r_result_str = ?, r_start_time = ?, r_end_time = ?, "
    "update_time = CURRENT_TIMESTAMP WHERE id = ?;";
// Only an installed run ends its verification: a run cancelled meanwhile keeps its state.
const char* const kUpdateVerified =
    "UPDATE proc_info SET proc_status = ?, r_result_str = ?, update_time = CURRENT_TIMESTAMP "
    "WHERE id = ? AND proc_status = 1;";
const char* const kSelectRetryCount =
    "SELECT MAX(exic_num) FROM proc_info WHERE command_info_id = ?;";
const char* const kInsertRetryTemplate =
    "INSERT INTO proc_info ( command_info_id, exic_num, sched_proc_time ) VALUES ( ?, ( SELECT "
    "MAX(exic_num) + 1 FROM proc_info WHERE command_info_id = ? ), datetime( 'now', "
    "'+#rep_word# seconds', ? ) );";
// The latest run of each update in the cancel list, when that run failed: some of its packages
// may be at the new version and need their old one back.
const char* const kSelectFailedCancelRuns =
    "SELECT m.id, m.command_info_id, m.proc_status FROM proc_info AS m LEFT JOIN command_info ON "
    "m.command_info_id = command_info.id WHERE m.id = ( SELECT s.id FROM proc_info AS s WHERE "
    "m.command_info_id = s.command_info_id ORDER BY s.sched_proc_time DESC, s.id DESC LIMIT 1 ) "
    "AND m.proc_status = 2 AND command_info.upd_command_id IN ( SELECT cancel_command_id FROM "
    "cancel_cid_list WHERE command_info_id = ? AND is_cancel = 1 );";
// The version recorded before an earlier installation of the same package file by another
// order (the same update ordered again), the latest first.
const char* const kSelectEarlierOld =
    "SELECT old_package_filename FROM package_list WHERE package_filename = ? AND "
    "command_info_id <> ? AND old_package_filename IS NOT NULL AND old_package_filename <> '' "
    "AND old_package_filename <> package_filename ORDER BY id DESC LIMIT 1;";
const char* const kSelectRunById =
    "SELECT proc_info.id, command_info_id, command_info.upd_command_id, "
    "command_info.upd_command_type FROM proc_info LEFT JOIN command_info ON "
    "proc_info.command_info_id = command_info.id WHERE proc_info.id = ?;";
const char* const kRepWord = "#rep_word#";

const char* stepWord(int rc) {
    return rc == SQLITE_DONE ? "success" : "failed";
}

void bindText(sqlite3_stmt* stmt, int pos, const std::string& value) {
    sqlite3_bind_text(stmt, pos, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* stmt, int col) {
    const auto* text = sqlite3_column_text(stmt, col);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// Replaces the first placeholder; false when the template has none.
bool replaceRepWord(std::string& sql, const std::string& with) {
    const auto at = sql.find(kRepWord);
    if (at == std::string::npos) {
        return false;
    }
    sql.replace(at, std::strlen(kRepWord), with);
    return true;
}
}  // namespace

DbUpdController::DbUpdController()
    : DbControllerBase("upd", "DbUpdController.cpp", "RO", zorcommon::updaterLockGuard()) {}

int DbUpdController::init(const std::string& dbDir, const std::string& dbFile,
                          const std::string& lockCee, const std::string& lockUpd) {
    if (dbDir.empty() || dbFile.empty()) {
        return 1;
    }
    setDbFilename(dbDir, dbFile);
    if (!existsDbFile()) {
        return 2;
    }
    setupLockFiles(dbDir, lockCee, lockUpd);
    return 0;
}

UpdBasicInfo DbUpdController::selectTargetCommandInfo(int* failedRc) {
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectTarget);
    bindText(stmt, 1, localeModifier_);
    UpdBasicInfo info;
    int lines = 0;
    int rc;
    // A statement that could not be prepared (a lock held too long, a file that is no
    // database) reports the connection's own code, not the misuse of a missing statement.
    while ((rc = stmt != nullptr ? sqlite3_step(stmt) : sqlite3_errcode(db_)) == SQLITE_ROW) {
        info.proc_info_id = sqlite3_column_int64(stmt, 0);
        info.command_info_id = sqlite3_column_int64(stmt, 1);
        info.command_id = sqlite3_column_int(stmt, 2);
        info.command_type = sqlite3_column_int(stmt, 3);
        ++lines;
    }
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectTargetCommandInfo failed ! : failed to select command_id from "
               "command_info : rc -> {}",
               rc);
        info = UpdBasicInfo();
        if (failedRc != nullptr) {
            *failedRc = rc;
        }
    } else if (info.command_info_id >= 1) {
        ZLOG_I(log_,
               "[{}:{}] in selectTargetCommandInfo : find target : proc_info.id -> {} : "
               "command_info.id -> {} : command_id -> {} : command_type -> {} : find line num -> "
               "{}",
               info.proc_info_id, info.command_info_id, info.command_id, info.command_type, lines);
    }
    zorcommon::flushLog(log_);
    return info;
}

int DbUpdController::selectCancelProcInfo(std::int64_t command_info_id,
                                          std::vector<CancelProcInfo>& executed,
                                          std::vector<CancelProcInfo>& pending) {
    ZLOG_I(log_, "[{}:{}] in selectCancelProcInfo : select cancel target proc_info sql -> {}",
           kSelectCancelRuns);
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectCancelRuns);
    sqlite3_bind_int64(stmt, 1, command_info_id);
    std::vector<CancelProcInfo> runs;
    const int rc = readCancelRows(stmt, runs);
    for (const auto& run : runs) {
        (run.proc_status != zorcommon::kRunScheduled ? executed : pending).push_back(run);
    }
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectCancelProcInfo failed ! : failed to select cancel target "
               "proc_info : rc -> {}",
               rc);
        zorcommon::flushLog(log_);
        return -2;
    }
    const int total = static_cast<int>(executed.size() + pending.size());
    ZLOG_I(log_,
           "[{}:{}] in selectCancelProcInfo : exec step : rc -> {} ({}) : find cancel proc_info "
           "total num -> {} : in not executed proc_info num -> {}",
           rc, "success", total, pending.size());
    zorcommon::flushLog(log_);
    return total;
}

int DbUpdController::readCancelRows(sqlite3_stmt* stmt, std::vector<CancelProcInfo>& list) {
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        CancelProcInfo run;
        run.id = sqlite3_column_int64(stmt, 0);
        run.command_info_id = sqlite3_column_int64(stmt, 1);
        run.proc_status = sqlite3_column_int(stmt, 2);
        list.push_back(run);
    }
    return rc;
}

int DbUpdController::readPackageRows(sqlite3_stmt* stmt, std::vector<PackageInfoData>& list) {
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        PackageInfoData package;
        package.id = sqlite3_column_int64(stmt, 0);
        package.command_info_id = sqlite3_column_int64(stmt, 1);
        package.package_filename = columnText(stmt, 2);
        package.package_name = columnText(stmt, 3);
        package.package_path = columnText(stmt, 4);
        package.old_package_filename = columnText(stmt, 5);
        list.push_back(std::move(package));
    }
    return rc;
}

int DbUpdController::selectPackageInfoAtCiid(std::int64_t command_info_id,
                                             std::vector<PackageInfoData>& list) {
    if (command_info_id < 1) {
        ZLOG_W(log_, "[{}:{}] in selectPackageInfoAtCiid : not set command_info_id -> {}",
               command_info_id);
        zorcommon::flushLog(log_);
        return 0;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectPackageInfoAtCiid : insert package_list sql -> {} : command_info_id "
           "-> {}",
           kSelectPackages, command_info_id);
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectPackages);
    sqlite3_bind_int64(stmt, 1, command_info_id);
    const int rc = readPackageRows(stmt, list);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectPackageInfoAtCiid failed ! : failed to select package_info : rc "
               "-> {}",
               rc);
        zorcommon::flushLog(log_);
        return -2;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectPackageInfoAtCiid : exec step : rc -> {} ({}) : find package_info "
           "num -> {}",
           rc, "success", list.size());
    zorcommon::flushLog(log_);
    return static_cast<int>(list.size());
}

int DbUpdController::updateOldPackageInfo(const std::vector<PackageInfoData>& list) {
    ZLOG_I(log_,
           "[{}:{}] in updateOldPackageInfo : update package_info sql -> {} : update num -> {}",
           kUpdateOldPackage, list.size());
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kUpdateOldPackage);
    int count = 0;
    for (const auto& package : list) {
        bindText(stmt, 1, package.old_package_filename);
        sqlite3_bind_int64(stmt, 2, package.id);
        const int rc = sqlite3_step(stmt);
        ZLOG_I(log_, "[{}:{}] in updateOldPackageInfo : exec step : rc -> {} ({})", rc,
               stepWord(rc));
        if (rc != SQLITE_DONE) {
            ZLOG_E(log_,
                   "[{}:{}] in updateOldPackageInfo failed ! : failed to update package_info : rc "
                   "-> {}",
                   rc);
            zorcommon::flushLog(log_);
            return -1;
        }
        ++count;
        sqlite3_reset(stmt);
    }
    zorcommon::flushLog(log_);
    return count;
}

int DbUpdController::selectCancelPackageInfo(const std::vector<CancelProcInfo>& targets,
                                             std::vector<PackageInfoData>& list) {
    std::string parameters = "?";
    for (size_t n = 1; n < targets.size(); ++n) {
        parameters += ", ?";
    }
    std::string sql = kSelectCancelPackagesTemplate;
    if (!replaceRepWord(sql, parameters)) {
        return -1;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectCancelPackageInfo : select cancel package into sql -> {} : cancel "
           "proc_info num -> {}",
           sql, targets.size());
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(sql.c_str());
    // With no target the lone parameter stays NULL and matches no row.
    for (size_t n = 0; n < targets.size(); ++n) {
        sqlite3_bind_int64(stmt, static_cast<int>(n + 1), targets[n].command_info_id);
    }
    const int rc = readPackageRows(stmt, list);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectCancelPackageInfo failed ! : failed to select package_info : rc "
               "-> {}",
               rc);
        zorcommon::flushLog(log_);
        return -2;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectCancelPackageInfo : exec step : rc -> {} ({}) : find package_info "
           "num -> {}",
           rc, "success", list.size());
    zorcommon::flushLog(log_);
    return static_cast<int>(list.size());
}

int DbUpdController::updateCancelStatus(const char* op, const char* what, int status,
                                        const std::vector<CancelProcInfo>& list) {
    ZLOG_I(log_, "[{}:{}] in {} : update ({}) proc_info sql -> {} : update num -> {}", op, what,
           kUpdateCancel, list.size());
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kUpdateCancel);
    int count = 0;
    for (const auto& run : list) {
        sqlite3_bind_int(stmt, 1, status);
        sqlite3_bind_int64(stmt, 2, run.id);
        const int rc = sqlite3_step(stmt);
        ZLOG_I(log_, "[{}:{}] in {} : exec step : rc -> {} ({})", op, rc, stepWord(rc));
        if (rc != SQLITE_DONE) {
            ZLOG_E(log_, "[{}:{}] in {} failed ! : failed to update proc_info : rc -> {}", op, rc);
            zorcommon::flushLog(log_);
            return -1;
        }
        ++count;
        sqlite3_reset(stmt);
    }
    zorcommon::flushLog(log_);
    return count;
}

int DbUpdController::updateCancelNotExecProcInfo(const std::vector<CancelProcInfo>& list) {
    return updateCancelStatus("updateCancelNotExecProcInfo", "cancel at not executed",
                              zorcommon::kRunCancelledBeforeRun, list);
}

int DbUpdController::updateCancelSuccessProcInfo(const std::vector<CancelProcInfo>& list) {
    return updateCancelStatus("updateCancelSuccessProcInfo", "cancel success",
                              zorcommon::kRunCancelledAfterInstall, list);
}

int DbUpdController::updateVerifiedRun(std::int64_t proc_info_id, int status,
                                       const std::string& result) {
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kUpdateVerified);
    sqlite3_bind_int(stmt, 1, status);
    bindText(stmt, 2, result);
    sqlite3_bind_int64(stmt, 3, proc_info_id);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in updateVerifiedRun : proc_info.id -> {} : result -> {} : rc -> {}",
           proc_info_id, status, rc);
    zorcommon::flushLog(log_);
    return rc == SQLITE_DONE ? sqlite3_changes(db_) : -1;
}

int DbUpdController::updateResultProcInfo(std::int64_t proc_info_id, int status,
                                          const std::string& result, const std::string& start,
                                          const std::string& end) {
    ZLOG_I(log_,
           "[{}:{}] in updateResultProcInfo : update proc_info sql -> {} : proc_info -> {} : "
           "result -> {}",
           kUpdateResult, proc_info_id, status);
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kUpdateResult);
    sqlite3_bind_int(stmt, 1, status);
    bindText(stmt, 2, result);
    bindText(stmt, 3, start);
    bindText(stmt, 4, end);
    sqlite3_bind_int64(stmt, 5, proc_info_id);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in updateResultProcInfo : exec step : rc -> {} ({})", rc, stepWord(rc));
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in updateResultProcInfo failed ! : failed to update proc_info : rc -> {}",
               rc);
        zorcommon::flushLog(log_);
        return -1;
    }
    zorcommon::flushLog(log_);
    return 1;
}

int DbUpdController::selectNextProcNum(std::int64_t command_info_id, int max) {
    ZLOG_I(log_, "[{}:{}] in selectNextProcNum : select next schdule execution num sql -> {}",
           kSelectRetryCount);
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectRetryCount);
    sqlite3_bind_int64(stmt, 1, command_info_id);
    int value = 0;
    bool usable = true;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        // NULL (no run) reads as 0. A counter that is not a whole number of 0 or more (text,
        // a fraction, a negative number) cannot say how often the update was tried.
        const int type = sqlite3_column_type(stmt, 0);
        const sqlite3_int64 raw = sqlite3_column_int64(stmt, 0);
        usable = type == SQLITE_NULL || (type == SQLITE_INTEGER && raw >= 0 && raw <= INT_MAX);
        value = usable ? static_cast<int>(raw) : 0;
    }
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectNextProcNum failed ! : select next schdule execution num: rc -> "
               "{}",
               rc);
        zorcommon::flushLog(log_);
        return -2;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectNextProcNum : exec step : rc -> {} ({}) : find select next schdule "
           "execution num -> {} : max execution num -> {}",
           rc, "success", value, max);
    if (!usable) {
        ZLOG_W(log_, "[{}:{}] in selectNextProcNum : exec step : retry count is not usable");
        zorcommon::flushLog(log_);
        return -3;
    }
    if (value >= max) {
        ZLOG_I(log_, "[{}:{}] in selectNextProcNum : exec step : retry count is max");
        zorcommon::flushLog(log_);
        return -1;
    }
    zorcommon::flushLog(log_);
    return value;
}

int DbUpdController::insertNextProcInfo(std::int64_t command_info_id, int seconds) {
    std::string sql = kInsertRetryTemplate;
    if (!replaceRepWord(sql, std::to_string(seconds))) {
        return -2;
    }
    ZLOG_I(log_,
           "[{}:{}] in insertNextProcInfo : update proc_info sql -> {} : command_info.id -> {} : "
           "next scheduling interval -> {}",
           sql, command_info_id, seconds);
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(sql.c_str());
    sqlite3_bind_int64(stmt, 1, command_info_id);
    sqlite3_bind_int64(stmt, 2, command_info_id);
    bindText(stmt, 3, localeModifier_);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in insertNextProcInfo : exec step : rc -> {} ({})", rc, stepWord(rc));
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in insertNextProcInfo failed ! : failed to insert proc_info : rc -> {}",
               rc);
        zorcommon::flushLog(log_);
        return -1;
    }
    zorcommon::flushLog(log_);
    return 1;
}

UpdBasicInfo DbUpdController::selectRunById(std::int64_t proc_info_id) {
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectRunById);
    sqlite3_bind_int64(stmt, 1, proc_info_id);
    UpdBasicInfo info;
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        info.proc_info_id = sqlite3_column_int64(stmt, 0);
        info.command_info_id = sqlite3_column_int64(stmt, 1);
        info.command_id = sqlite3_column_int(stmt, 2);
        info.command_type = sqlite3_column_int(stmt, 3);
    }
    return info;
}

int DbUpdController::selectFailedCancelTargets(std::int64_t command_info_id,
                                               std::vector<CancelProcInfo>& failed) {
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectFailedCancelRuns);
    sqlite3_bind_int64(stmt, 1, command_info_id);
    const int rc = readCancelRows(stmt, failed);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_, "[{}:{}] in selectFailedCancelTargets failed ! : rc -> {}", rc);
        zorcommon::flushLog(log_);
        return -2;
    }
    return static_cast<int>(failed.size());
}

std::string DbUpdController::selectEarlierOldPackage(const PackageInfoData& package) {
    SQLiteStmtMaker maker(db_);
    sqlite3_stmt* stmt = maker.prepare(kSelectEarlierOld);
    bindText(stmt, 1, package.package_filename);
    sqlite3_bind_int64(stmt, 2, package.command_info_id);
    return sqlite3_step(stmt) == SQLITE_ROW ? columnText(stmt, 0) : "";
}

}  // namespace db
}  // namespace zorupd
