#include "DbController.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "FileUtil.h"
#include "UpdJobStore.h"

namespace zorcee {
namespace db {

namespace {
using zorcommon::kJobTables;
constexpr std::size_t kTableCount = sizeof kJobTables / sizeof kJobTables[0];

// The tables of the schema present in an open database (empty when it cannot be read).
std::set<std::string> schemaTables(sqlite3* db) {
    std::set<std::string> found;
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare("SELECT name FROM sqlite_master WHERE type = 'table'");
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        for (const auto& table : kJobTables) {
            if (name != nullptr && std::strcmp(name, table.name) == 0) {
                found.insert(table.name);
            }
        }
    }
    return found;
}

// How many of the schema's tables the file holds, or -1 when it cannot be read (locked: left
// as it is), or -2 when it is not a database.
int countSchemaTables(const std::string& path) {
    sqlite3* db = nullptr;
    int count = -1;
    const bool opened =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    if (opened && zorcommon::lacksDatabaseHeader(db)) {
        count = -2;
    } else if (opened) {
        SQLiteStmtMaker maker(db);
        sqlite3_stmt* stmt = maker.prepare(
            "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN "
            "('command_info', 'package_list', 'cancel_cid_list', 'proc_info', 'version')");
        if (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
            count = sqlite3_column_int(stmt, 0);
        } else if (sqlite3_errcode(db) == SQLITE_NOTADB) {
            count = -2;
        }
    }
    sqlite3_close_v2(db);
    return count;
}

// `path` + ".damaged-YYYYmmdd-HHMMSS" (UTC), with "-N" added while that name is taken.
std::string asideName(const std::string& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = path + ".damaged-" + stamp;
    std::string name = base;
    struct stat st {};
    for (int n = 2; ::lstat(name.c_str(), &st) == 0 && n < 1000; ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}
}  // namespace

bool configureSqlite() {
    return sqlite3_config(SQLITE_CONFIG_MULTITHREAD) == SQLITE_OK &&
           sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
}

bool setWalMode(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode = WAL", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        wal = mode != nullptr && std::strcmp(mode, "wal") == 0;
    }
    sqlite3_finalize(stmt);
    return wal;
}

void DbController::useWriteAheadLog() {
    sqlite3* db = nullptr;
    bool wal = false;
    if (sqlite3_open_v2(dbPath_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, zorcommon::busyTimeoutMs());
        wal = setWalMode(db);
    }
    if (wal) {
        ZLOG_I(log_, "[{}:{}] in init : journal mode -> wal");
    } else {
        // Still a working database: its commits go through the rollback journal meanwhile.
        ZLOG_W(log_, "[{}:{}] in init : journal mode wal not set -> {}",
               db != nullptr ? sqlite3_errmsg(db) : "cannot open");
    }
    sqlite3_close_v2(db);
}

DbController::DbController()
    : DbControllerBase("cee", "DbController.cpp", "RW", zorcommon::agentLockGuard()) {
    repairDamaged_ = true;
    // A connection's page cache may otherwise grow to 2 MB while a row with a request of
    // megabytes passes through it; above 256 KiB SQLite reuses its cached pages (dirty pages of
    // such a row may go to the write-ahead log before the commit, as whenever a cache is full).
    connectionPragmas_ = "PRAGMA cache_size = -256";
}

bool DbController::replaceDamagedFile() {
    const std::string aside = asideName(dbPath_);
    if (std::rename(dbPath_.c_str(), aside.c_str()) != 0) {
        ZLOG_E(log_, "[{}:{}] in open : {} is not a database and cannot be moved aside : {}",
               dbPath_, std::strerror(errno));
        return false;
    }
    // A journal or write-ahead log beside it belongs to the damaged file: rolled into a new
    // one, it would damage that too. The log's index is only a cache of the log.
    std::rename((dbPath_ + "-journal").c_str(), (aside + "-journal").c_str());
    std::rename((dbPath_ + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((dbPath_ + "-shm").c_str());
    ZLOG_E(log_, "[{}:{}] in open : {} is not a database : moved aside to {} : new database",
           dbPath_, aside);
    zorcommon::flushLog(log_);
    return createDbFile();
}

int DbController::init(const std::string& dbDir, const std::string& dbFile,
                       const std::string& lockCee, const std::string& lockUpd) {
    log_ = spdlog::get("cee");
    ZLOG_I(log_,
           "[{}:{}] in init : path -> {} : filename -> {} : lock_file(cee) -> {} : "
           "lock_file(upd) -> {}",
           dbDir, dbFile, lockCee, lockUpd);
    if (dbDir.empty() || dbFile.empty()) {
        return 1;
    }
    setDbFilename(dbDir, dbFile);
    setupLockFiles(dbDir, lockCee, lockUpd);
    if (guard_.existsLockFile()) {
        ZLOG_I(log_, "[{}:{}] in init : remove lock file! [RW]");
        guard_.removeLockFile();
    }
    const bool exists = existsDbFile();
    ZLOG_I(log_, "[{}:{}] in init : setDbFilename : exist DB -> {}", exists ? "true" : "false");
    if (exists) {
        // A file without the five tables (created empty by an open, or by a creation that was
        // cut off) would make every order's recording fail for good: complete its schema.
        const int tables = countSchemaTables(dbPath_);
        if (tables == -2) {
            return replaceDamagedFile() ? 0 : 2;
        }
        if (tables < 0) {
            return 0;
        }
        if (tables == static_cast<int>(kTableCount)) {
            useWriteAheadLog();
            return 0;
        }
        ZLOG_W(log_, "[{}:{}] in init : database file has {} of {} tables : create schema", tables,
               kTableCount);
    }
    const bool created = createDbFile();
    ZLOG_I(log_, "[{}:{}] in init : create directory & db file : result -> {}",
           created ? "success" : "failed");
    return created ? 0 : 2;
}

bool DbController::createDbFile() {
    const int dirResult = zorcommon::makeDirectories(dbDir_);
    if (dirResult != 0) {
        ZLOG_E(log_, "[{}:{}] in createDbFile error : failed to create directory -> {}", dirResult);
        return false;
    }
    createFile_ = true;
    const bool opened = open();
    createFile_ = false;
    ZLOG_I(log_, "[{}:{}] in createDbFile open -> {}", opened ? "true" : "false");
    if (!opened) {
        ZLOG_E(log_, "[{}:{}] in createDbFile : open failed!");
        return false;
    }

    const std::string versionInsert =
        std::string("INSERT INTO version ( db_version ) VALUES ( '") + kDbVersion + "' );";
    bool result = true;
    {
        const std::set<std::string> present = schemaTables(db_);
        SQLiteStmtMaker maker(db_);
        // Statements still to run: the missing tables' and, with a new version table, its row.
        int remaining = static_cast<int>(kTableCount - present.size()) +
                        (present.count("version") == 0 ? 1 : 0);
        auto run = [&](const char* sql) {
            ZLOG_I(log_, "[{}:{}] in createDbFile : create table sql -> {}", sql);
            const int rc = sqlite3_step(maker.prepare(sql));
            ZLOG_I(log_, "[{}:{}] in createDbFile : exec prepare rc -> {} ({})",
                   rc == SQLITE_DONE ? "success" : "failed", rc);
            if (rc == SQLITE_DONE) {
                --remaining;
            } else {
                ZLOG_W(log_, "[{}:{}] in createDbFile : exec prepare : result -> not done ({})",
                       rc);
            }
        };
        for (const auto& table : kJobTables) {
            if (present.count(table.name) == 0) {
                run(table.create);
            }
        }
        if (present.count("version") == 0) {
            run(versionInsert.c_str());
        }

        if (remaining != 0) {
            ZLOG_E(log_, "[{}:{}] in createDbFile failed ! : failed or not create table num -> {}",
                   remaining);
            // Only a file this creation started may go: tables that held rows before stay.
            if (present.empty()) {
                std::remove(dbPath_.c_str());
                ZLOG_I(log_, "[{}:{}] in createDbFile : remove database file");
            }
            result = false;
        } else if (!setWalMode(db_)) {
            ZLOG_W(log_, "[{}:{}] in createDbFile : journal mode wal not set -> {}",
                   sqlite3_errmsg(db_));
        }
        close();
    }
    return result;
}

}  // namespace db
}  // namespace zorcee

namespace zorcee {
namespace db {

namespace {
const char* const kInsertCommandInfo =
    "INSERT INTO command_info ( command_json, recv_xml, server_time_str ) VALUES ( ?, ?, ? )";
const char* const kSelectCommandInfoId =
    "SELECT MAX(id) FROM command_info WHERE command_json = ? AND server_time_str = ?";
const char* const kUpdateCommandInfoResult =
    "UPDATE command_info SET res_error_str = ?, res_result = ?, res_result_str = ?, "
    "res_http_time = CURRENT_TIMESTAMP, update_time = CURRENT_TIMESTAMP WHERE id = ?";
const char* const kUpdateCommandInfoForUpd =
    "UPDATE command_info SET upd_command_id = ?, upd_cmd_req_id = ?, upd_command_type = ?, "
    "upd_sched_exec_time = ?, update_time = CURRENT_TIMESTAMP WHERE id = ?;";
const char* const kInsertPackageList =
    "INSERT INTO package_list ( command_info_id, seq_no, package_filename, package_name, "
    "package_path ) VALUES ( ?, ( SELECT case when MAX( seq_no ) IS NULL THEN 1 ELSE MAX( "
    "seq_no ) + 1 END as next_seq_no from package_list WHERE command_info_id = ? ), ?, ?, ? );";
const char* const kSelectCancelTemplate =
    "SELECT DISTINCT upd_command_id FROM command_info WHERE upd_command_id in ( #WHERE-IN#  );";
const char* const kWhereInMarker = "#WHERE-IN# ";
const char* const kInsertCancelCidList =
    "INSERT INTO cancel_cid_list ( command_info_id, seq_no, cancel_command_id, is_cancel ) "
    "VALUES ( ?, ( SELECT case when MAX( seq_no ) IS NULL THEN 1 ELSE MAX( seq_no ) + 1 END as "
    "next_seq_no from cancel_cid_list WHERE command_info_id = ? ), ?, ? );";
const char* const kUpdateProcInfoSuperseded =
    "UPDATE proc_info SET proc_status = 5 WHERE proc_status = 0 AND command_info_id IN ( "
    "SELECT id FROM command_info WHERE upd_command_id = ? );";
const char* const kInsertProcInfo =
    "INSERT INTO proc_info ( command_info_id, sched_proc_time ) VALUES ( ?, ? );";

std::atomic<DbController::RowListener> rowListener{nullptr};

const char* stepWord(int rc) {
    return rc == SQLITE_DONE ? "success" : "failed";
}
}  // namespace

void DbController::bindText(const char* op, sqlite3_stmt* stmt, int pos, const std::string& value,
                            bool logValue, bool outlivesStmt) {
    const int rc = sqlite3_bind_text(stmt, pos, value.data(), static_cast<int>(value.size()),
                                     outlivesStmt ? SQLITE_STATIC : SQLITE_TRANSIENT);
    // Request and answer texts can be large: only short values are worth repeating.
    if (logValue) {
        ZLOG_I(log_, "[{}:{}] in {} : bind pos -> {} : rc -> {} : value -> {}", op, pos, rc, value);
    } else {
        ZLOG_I(log_, "[{}:{}] in {} : bind pos -> {} : rc -> {}", op, pos, rc);
    }
}

void DbController::bindInt(const char* op, sqlite3_stmt* stmt, int pos, std::int64_t value) {
    const int rc = sqlite3_bind_int64(stmt, pos, static_cast<sqlite3_int64>(value));
    ZLOG_I(log_, "[{}:{}] in {} : bind pos -> {} : rc -> {} : value -> {}", op, pos, rc, value);
}

std::int64_t DbController::insertCommandInfoBasic(const std::string& commandName,
                                                  const std::string& recvXml,
                                                  const std::string& serverTimeStr) {
    static const char* op = "insertCommandInfoBasic";
    std::string serverTime = serverTimeStr;
    for (char& c : serverTime) {
        if (c == '/') {
            c = '-';
        }
    }
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_, "[{}:{}] in insertCommandInfoBasic : insert command_info sql -> {}",
           kInsertCommandInfo);
    sqlite3_stmt* insert = maker.prepare(kInsertCommandInfo);
    bindText(op, insert, 1, commandName);
    bindText(op, insert, 2, recvXml, false, true);  // the statement ends with this call
    bindText(op, insert, 3, serverTime);
    int rc = sqlite3_step(insert);
    ZLOG_I(log_, "[{}:{}] in insertCommandInfoBasic : exec step : rc -> {} ({})", stepWord(rc), rc);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in insertCommandInfoBasic failed ! : failed to insert command_info : rc "
               "-> {}",
               rc);
        return -1;
    }

    ZLOG_I(log_, "[{}:{}] in insertCommandInfoBasic : select command_info sql -> {}",
           kSelectCommandInfoId);
    sqlite3_stmt* select = maker.prepare(kSelectCommandInfoId);
    bindText(op, select, 1, commandName);
    bindText(op, select, 2, serverTime);
    rc = sqlite3_step(select);
    ZLOG_I(log_, "[{}:{}] in insertCommandInfoBasic : exec step (select) -> {} ({})",
           rc == SQLITE_ROW || rc == SQLITE_DONE ? "success" : "failed", rc);
    if (rc == SQLITE_ROW) {
        const std::int64_t id = sqlite3_column_int64(select, 0);
        ZLOG_I(log_,
               "[{}:{}] in insertCommandInfoBasic : exec step2 : last insert id -> {} "
               "(SQLITE_ROW)",
               id);
        const RowListener listener = rowListener.load();
        if (listener != nullptr && id > 0) {
            listener(id);
        }
        return id;
    }
    if (rc == SQLITE_DONE) {
        ZLOG_I(log_,
               "[{}:{}] in insertCommandInfoBasic : exec step2 : last insert id -> {} "
               "(SQLITE_DONE)",
               0);
        return 0;
    }
    ZLOG_E(log_,
           "[{}:{}] in insertCommandInfoBasic failed ! : failed to select command_info.id : rc "
           "-> {}",
           rc);
    return 0;
}

int DbController::updateCommandInfoAtId(std::int64_t id, const std::string& resErrorStr,
                                        int resResult, const std::string& resResultStr) {
    static const char* op = "updateCommandInfoAtId";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in updateCommandInfoAtId : update command_info sql -> {} : command_info.id -> "
           "{}",
           kUpdateCommandInfoResult, id);
    sqlite3_stmt* stmt = maker.prepare(kUpdateCommandInfoResult);
    bindText(op, stmt, 1, resErrorStr);
    bindInt(op, stmt, 2, resResult);
    bindText(op, stmt, 3, resResultStr, false, true);
    bindInt(op, stmt, 4, id);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in updateCommandInfoAtId : exec step : rc -> {} ({})", stepWord(rc), rc);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in updateCommandInfoAtId failed ! : failed to update command_info : rc "
               "-> {}",
               rc);
        return -1;
    }
    return 1;
}

int DbController::updateCommandInfoForUpd(std::int64_t id, const std::string& updCommandId,
                                          const std::string& updCmdReqId, int updCommandType,
                                          const std::string& updSchedExecTime) {
    static const char* op = "updateCommandInfoForUpd";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in updateCommandInfoForUpd : update command_info sql -> {} : command_info.id "
           "-> {}",
           kUpdateCommandInfoForUpd, id);
    sqlite3_stmt* stmt = maker.prepare(kUpdateCommandInfoForUpd);
    bindText(op, stmt, 1, updCommandId);
    bindText(op, stmt, 2, updCmdReqId);
    bindInt(op, stmt, 3, updCommandType);
    bindText(op, stmt, 4, updSchedExecTime);
    bindInt(op, stmt, 5, id);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in updateCommandInfoForUpd : exec step : rc -> {} ({})", stepWord(rc),
           rc);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in updateCommandInfoForUpd failed ! : failed to update command_info : rc "
               "-> {}",
               rc);
        return -1;
    }
    return 1;
}

int DbController::insertPackageList(std::int64_t id, const std::string& removeDir,
                                    const std::vector<std::string>& entries) {
    static const char* op = "insertPackageList";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in insertPackageList : insert package_list sql -> {} : command_info.id -> {} "
           ": package num -> {}",
           kInsertPackageList, id, entries.size());
    sqlite3_stmt* stmt = maker.prepare(kInsertPackageList);
    int count = 0;
    for (const auto& entry : entries) {
        const auto slash = entry.rfind('/');
        // Blanks around the file name (the entry form puts one after the last "/") would keep
        // the installed-version lookup from ever finding the package.
        std::string fileName = slash == std::string::npos ? entry : entry.substr(slash + 1);
        fileName.erase(0, fileName.find_first_not_of(" \t\r\n"));
        fileName.erase(fileName.find_last_not_of(" \t\r\n") + 1);
        std::string directory = slash == std::string::npos ? entry : entry.substr(0, slash);
        const std::string packageName = fileName.substr(0, fileName.find('_'));
        directory.erase(std::remove(directory.begin(), directory.end(), ' '), directory.end());
        if (!removeDir.empty()) {
            const auto at = directory.find(removeDir);
            if (at != std::string::npos) {
                directory.erase(at, removeDir.size());
            }
        }
        bindInt(op, stmt, 1, id);
        bindInt(op, stmt, 2, id);
        bindText(op, stmt, 3, fileName);
        bindText(op, stmt, 4, packageName);
        bindText(op, stmt, 5, directory);
        const int rc = sqlite3_step(stmt);
        ZLOG_I(log_, "[{}:{}] in insertPackageList : exec step : rc -> {} ({})", stepWord(rc), rc);
        if (rc != SQLITE_DONE) {
            ZLOG_E(log_,
                   "[{}:{}] in insertPackageList failed ! : failed to insert package_list : rc "
                   "-> {}",
                   rc);
            return -1;
        }
        ++count;
        sqlite3_reset(stmt);
    }
    return count;
}

int DbController::selectCommandInfoForCancel(const std::vector<std::string>& cancelIds,
                                             std::vector<std::string>& foundIds) {
    static const char* op = "selectCommandInfoForCancel";
    if (cancelIds.empty()) {
        ZLOG_W(log_,
               "[{}:{}] in selectCommandInfoForCancel : select cancel : list is none : "
               "command_id num -> {}",
               0);
        return 0;
    }
    std::string placeholders = "?";
    for (size_t i = 1; i < cancelIds.size(); ++i) {
        placeholders += ", ?";
    }
    std::string sql = kSelectCancelTemplate;
    sql.replace(sql.find(kWhereInMarker), std::strlen(kWhereInMarker), placeholders);

    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in selectCommandInfoForCancel : select command_info sql -> {} : command_id "
           "num -> {}",
           sql, cancelIds.size());
    sqlite3_stmt* stmt = maker.prepare(sql.c_str());
    for (size_t i = 0; i < cancelIds.size(); ++i) {
        bindText(op, stmt, static_cast<int>(i + 1), cancelIds[i], true);
    }
    int rc;
    int found = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(stmt, 0);
        foundIds.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
        ++found;
    }
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_,
               "[{}:{}] in selectCommandInfoForCancel failed ! : failed to select command_id "
               "from command_info : rc -> {}",
               rc);
        return -2;
    }
    ZLOG_I(log_,
           "[{}:{}] in selectCommandInfoForCancel : exec step : rc -> {} ({}) : find command_id "
           "num -> {}",
           "success", rc, found);
    return found;
}

int DbController::insertCancelCidList(std::int64_t id, const std::vector<std::string>& cancelIds,
                                      const std::vector<std::string>& foundIds) {
    static const char* op = "insertCancelCidList";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in insertCancelCidList : insert cancel_cid_list sql -> {} : command_info.id "
           "-> {} : cancel cid num -> {}",
           kInsertCancelCidList, id, cancelIds.size());
    sqlite3_stmt* stmt = maker.prepare(kInsertCancelCidList);
    int count = 0;
    for (const auto& cancelId : cancelIds) {
        const bool known = std::find(foundIds.begin(), foundIds.end(), cancelId) != foundIds.end();
        bindInt(op, stmt, 1, id);
        bindInt(op, stmt, 2, id);
        bindText(op, stmt, 3, cancelId);
        bindInt(op, stmt, 4, known ? 1 : 0);
        const int rc = sqlite3_step(stmt);
        ZLOG_I(log_, "[{}:{}] in insertCancelCidList : exec step : rc -> {} ({})", stepWord(rc),
               rc);
        if (rc != SQLITE_DONE) {
            ZLOG_E(log_,
                   "[{}:{}] in insertCancelCidList failed ! : failed to insert cancel_cid_info : "
                   "rc -> {}",
                   rc);
            return -1;
        }
        ++count;
        sqlite3_reset(stmt);
    }
    return count;
}

int DbController::updateProcInfo(const std::string& updCommandId) {
    static const char* op = "updateProcInfo";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in updateProcInfo : update proc_info sql -> {} : command_id -> {}  "
           "[proc_flag 0 --> 5]",
           kUpdateProcInfoSuperseded, updCommandId);
    sqlite3_stmt* stmt = maker.prepare(kUpdateProcInfoSuperseded);
    bindText(op, stmt, 1, updCommandId);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in updateProcInfo : exec step : rc -> {} ({})", stepWord(rc), rc);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_, "[{}:{}] in updateProcInfo failed ! : failed to update proc_info : rc -> {}",
               rc);
        return -1;
    }
    return 1;
}

int DbController::insertProcInfo(std::int64_t id, const std::string& schedProcTime) {
    static const char* op = "insertProcInfo";
    SQLiteStmtMaker maker(db_);
    ZLOG_I(log_,
           "[{}:{}] in insertProcInfo : insert proc_info sql -> {} : command_info.id -> {} : "
           "sched_proc_time num -> {}",
           kInsertProcInfo, id, schedProcTime);
    sqlite3_stmt* stmt = maker.prepare(kInsertProcInfo);
    bindInt(op, stmt, 1, id);
    bindText(op, stmt, 2, schedProcTime);
    const int rc = sqlite3_step(stmt);
    ZLOG_I(log_, "[{}:{}] in insertProcInfo : exec step : rc -> {} ({})", stepWord(rc), rc);
    if (rc != SQLITE_DONE) {
        ZLOG_E(log_, "[{}:{}] in insertProcInfo failed ! : failed to insert proc_info : rc -> {}",
               rc);
        return -1;
    }
    return 1;
}

}  // namespace db
}  // namespace zorcee

namespace zorcee {
namespace db {

void DbController::setRowListener(RowListener listener) {
    rowListener.store(listener);
}

}  // namespace db
}  // namespace zorcee
