#include "UpdJobStore.h"

#include <algorithm>
#include <sstream>

#include "SQLiteStmtMaker.h"

namespace zorcommon {

namespace {
const char* const kCreateJournal =
    "CREATE TABLE IF NOT EXISTS [install_journal] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
    "[proc_info_id] INTEGER NOT NULL, [command_info_id] INTEGER NOT NULL, [kind] INTEGER NOT "
    "NULL, [files] TEXT NOT NULL, [outcome] INTEGER, [exit_status] INTEGER, [begin_time] "
    "DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [end_time] DATETIME );";
const char* const kInsertAttempt =
    "INSERT INTO install_journal ( proc_info_id, command_info_id, kind, files ) VALUES ( ?, ?, "
    "?, ? );";
const char* const kUpdateOutcome =
    "UPDATE install_journal SET outcome = ?, exit_status = ?, end_time = CURRENT_TIMESTAMP "
    "WHERE id = ? AND outcome IS NULL;";
const char* const kSelectOpen =
    "SELECT id, proc_info_id, command_info_id, kind, files, begin_time FROM install_journal "
    "WHERE outcome IS NULL AND ( ? < 1 OR proc_info_id = ? ) ORDER BY id LIMIT 1;";

std::string columnText(sqlite3_stmt* stmt, int col) {
    const auto* text = sqlite3_column_text(stmt, col);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}
}  // namespace

const JobTable kJobTables[5] = {
    {"command_info",
     "CREATE TABLE [command_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_json] "
     "VARCHAR (32), [recv_xml] TEXT, [server_time_str] DATETIME, [upd_command_id] VARCHAR (16), "
     "[upd_cmd_req_id] VARCHAR (128), [upd_command_type] INTEGER DEFAULT '-1', "
     "[upd_sched_exec_time] DATETIME, [res_error_str] TEXT, [res_result] INTEGER, "
     "[res_result_str] TEXT, [res_http_time] DATETIME, [create_time] DATETIME NOT NULL DEFAULT "
     "CURRENT_TIMESTAMP, [update_time] DATETIME );"},
    {"package_list",
     "CREATE TABLE [package_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
     "INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT NULL, "
     "[package_filename] VARCHAR (128) NOT NULL, [package_name] VARCHAR (128) NOT NULL, "
     "[package_path] VARCHAR (128) NOT NULL DEFAULT '', [old_package_filename] VARCHAR (128), "
     "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );"},
    {"cancel_cid_list",
     "CREATE TABLE [cancel_cid_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
     "[command_info_id] INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT "
     "NULL, [cancel_command_id] VARCHAR (32) NOT NULL, [is_cancel] BOOLEAN NOT NULL, "
     "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );"},
    {"proc_info",
     "CREATE TABLE [proc_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
     "INTEGER NOT NULL REFERENCES [command_info] ([id]), [sched_proc_time] DATETIME NOT NULL, "
     "[exic_num] INTEGER NOT NULL DEFAULT '0', [proc_status] INTEGER NOT NULL DEFAULT '0', "
     "[r_start_time] DATETIME, [r_end_time] DATETIME, [r_result_str] TEXT, [cancel_time] "
     "DATETIME,  [create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] "
     "DATETIME );"},
    {"version",
     "CREATE TABLE [version] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [db_version] TEXT NOT "
     "NULL, [create_date] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_date] DATETIME );"},
};

std::string localeHourModifier(int localeHour) {
    return (localeHour < 0 ? "" : "+") + std::to_string(localeHour) + " hours";
}

std::string localeHourText(std::time_t t, int localeHour, const char* format) {
    const std::time_t shifted = t + static_cast<std::time_t>(localeHour) * 3600;
    std::tm zone{};
    char buffer[64] = {};
    if (gmtime_r(&shifted, &zone) == nullptr) {
        return "";
    }
    std::strftime(buffer, sizeof buffer, format, &zone);
    return buffer;
}

WriteTransaction::WriteTransaction(sqlite3* db) : db_(db) {
    open_ = db_ != nullptr &&
            sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

WriteTransaction::~WriteTransaction() {
    rollback();
}

bool WriteTransaction::commit() {
    if (!open_) {
        return false;
    }
    if (sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        rollback();
        return false;
    }
    open_ = false;
    return true;
}

void WriteTransaction::rollback() {
    if (open_) {
        // After a failed COMMIT SQLite may already have ended the transaction itself.
        if (sqlite3_get_autocommit(db_) == 0) {
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        }
        open_ = false;
    }
}

bool ensureInstallJournal(sqlite3* db) {
    return sqlite3_exec(db, kCreateJournal, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t insertAttempt(sqlite3* db, const InstallAttempt& attempt) {
    std::string files;
    for (const auto& f : attempt.files) {
        files += f + "\n";
    }
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kInsertAttempt);
    sqlite3_bind_int64(stmt, 1, attempt.proc_info_id);
    sqlite3_bind_int64(stmt, 2, attempt.command_info_id);
    sqlite3_bind_int(stmt, 3, attempt.kind);
    sqlite3_bind_text(stmt, 4, files.data(), static_cast<int>(files.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        return -1;
    }
    return sqlite3_last_insert_rowid(db);
}

bool updateAttemptOutcome(sqlite3* db, std::int64_t id, int outcome, int exitStatus) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kUpdateOutcome);
    sqlite3_bind_int(stmt, 1, outcome);
    sqlite3_bind_int(stmt, 2, exitStatus);
    sqlite3_bind_int64(stmt, 3, id);
    return sqlite3_step(stmt) == SQLITE_DONE && sqlite3_changes(db) == 1;
}

bool hasInstallJournal(sqlite3* db) {
    return sqlite3_table_column_metadata(db, "main", "install_journal", "outcome", nullptr, nullptr,
                                         nullptr, nullptr, nullptr) == SQLITE_OK;
}

int selectOpenAttempt(sqlite3* db, InstallAttempt& attempt, std::int64_t procInfoId) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kSelectOpen);
    sqlite3_bind_int64(stmt, 1, procInfoId);
    sqlite3_bind_int64(stmt, 2, procInfoId);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        return 0;
    }
    if (rc != SQLITE_ROW) {
        return -1;
    }
    attempt.id = sqlite3_column_int64(stmt, 0);
    attempt.proc_info_id = sqlite3_column_int64(stmt, 1);
    attempt.command_info_id = sqlite3_column_int64(stmt, 2);
    attempt.kind = sqlite3_column_int(stmt, 3);
    attempt.files.clear();
    std::istringstream files(columnText(stmt, 4));
    for (std::string f; std::getline(files, f);) {
        if (!f.empty()) {
            attempt.files.push_back(f);
        }
    }
    attempt.begin_time = columnText(stmt, 5);
    return 1;
}

const char* attemptOutcomeText(int outcome) {
    static const char* const kTexts[] = {"installed", "not installed", "partly installed"};
    return outcome >= kOutcomeInstalled && outcome <= kOutcomePartly ? kTexts[outcome] : "unknown";
}

int attemptOutcome(const std::vector<std::string>& files,
                   const std::vector<std::string>& installedFiles) {
    const auto done = std::count_if(files.begin(), files.end(), [&](const std::string& f) {
        return std::find(installedFiles.begin(), installedFiles.end(), f) != installedFiles.end();
    });
    // An attempt that names no file cannot be shown to be in place.
    if (!files.empty() && done == static_cast<long>(files.size())) {
        return kOutcomeInstalled;
    }
    return done == 0 ? kOutcomeNotInstalled : kOutcomePartly;
}

}  // namespace zorcommon
