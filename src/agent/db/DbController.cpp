#include "DbController.h"

#include <cstdio>
#include <string>

#include "FileUtil.h"

namespace zorcee {
namespace db {

namespace {
const char* const kCreateStatements[] = {
    "CREATE TABLE [command_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_json] "
    "VARCHAR (32), [recv_xml] TEXT, [server_time_str] DATETIME, [upd_command_id] VARCHAR (16), "
    "[upd_cmd_req_id] VARCHAR (128), [upd_command_type] INTEGER DEFAULT '-1', "
    "[upd_sched_exec_time] DATETIME, [res_error_str] TEXT, [res_result] INTEGER, "
    "[res_result_str] TEXT, [res_http_time] DATETIME, [create_time] DATETIME NOT NULL DEFAULT "
    "CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [package_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
    "INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT NULL, "
    "[package_filename] VARCHAR (128) NOT NULL, [package_name] VARCHAR (128) NOT NULL, "
    "[package_path] VARCHAR (128) NOT NULL DEFAULT '', [old_package_filename] VARCHAR (128), "
    "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [cancel_cid_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
    "[command_info_id] INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT "
    "NULL, [cancel_command_id] VARCHAR (32) NOT NULL, [is_cancel] BOOLEAN NOT NULL, "
    "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [proc_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
    "INTEGER NOT NULL REFERENCES [command_info] ([id]), [sched_proc_time] DATETIME NOT NULL, "
    "[exic_num] INTEGER NOT NULL DEFAULT '0', [proc_status] INTEGER NOT NULL DEFAULT '0', "
    "[r_start_time] DATETIME, [r_end_time] DATETIME, [r_result_str] TEXT, [cancel_time] "
    "DATETIME,  [create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] "
    "DATETIME );",
    "CREATE TABLE [version] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [db_version] TEXT NOT "
    "NULL, [create_date] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_date] DATETIME );",
};
}  // namespace

DbController::DbController()
    : DbControllerBase("cee", "DbController.cpp", "RW", zorcommon::agentLockGuard()) {}

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
        return 0;
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
    const bool opened = open();
    ZLOG_I(log_, "[{}:{}] in createDbFile open -> {}", opened ? "true" : "false");
    if (!opened) {
        ZLOG_E(log_, "[{}:{}] in createDbFile : open failed!");
        return false;
    }

    const std::string versionInsert =
        std::string("INSERT INTO version ( db_version ) VALUES ( '") + kDbVersion + "' );";
    bool result = true;
    {
        SQLiteStmtMaker maker(db_);
        int remaining = 6;
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
        for (const char* sql : kCreateStatements) {
            run(sql);
        }
        run(versionInsert.c_str());

        if (remaining != 0) {
            ZLOG_E(log_, "[{}:{}] in createDbFile failed ! : failed or not create table num -> {}",
                   remaining);
            std::remove(dbPath_.c_str());
            ZLOG_I(log_, "[{}:{}] in createDbFile : remove database file");
            result = false;
        }
        close();
    }
    return result;
}

}  // namespace db
}  // namespace zorcee
