#include "UpdHealthStore.h"

#include "SQLiteStmtMaker.h"

namespace zorcommon {

namespace {
const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS [health_check] ( [proc_info_id] INTEGER PRIMARY KEY, "
    "[baseline_ok] INTEGER NOT NULL, [baseline_detail] TEXT, [phase] INTEGER NOT NULL DEFAULT "
    "0, [starts] INTEGER NOT NULL DEFAULT 0, [passed] INTEGER NOT NULL DEFAULT 0, [window_end] "
    "TEXT, [verdict] INTEGER, [detail] TEXT, [end_time] DATETIME );";
#define HEALTH_COLUMNS                                                                       \
    "SELECT h.proc_info_id, h.baseline_ok, h.baseline_detail, h.phase, h.starts, h.passed, " \
    "h.window_end, h.verdict, h.detail, h.end_time FROM health_check h "
const char* const kSelectOne = HEALTH_COLUMNS "WHERE h.proc_info_id = ?;";
// A run is being verified while it is installed and has no verdict.
const char* const kSelectPending = HEALTH_COLUMNS
    "JOIN proc_info p ON p.id = h.proc_info_id WHERE p.proc_status = 1 AND h.verdict IS NULL "
    "ORDER BY h.proc_info_id LIMIT 1;";
#undef HEALTH_COLUMNS
const char* const kInsert =
    "INSERT OR REPLACE INTO health_check ( proc_info_id, baseline_ok, baseline_detail, verdict ) "
    "VALUES ( ?, ?, ?, ? );";
const char* const kUpdate =
    "UPDATE health_check SET phase = ?, starts = ?, passed = ?, window_end = ?, verdict = ?, "
    "detail = ?, end_time = CASE WHEN ? IS NULL THEN NULL ELSE CURRENT_TIMESTAMP END WHERE "
    "proc_info_id = ?;";
const char* const kCountAttempts =
    "SELECT count(*) FROM install_journal WHERE proc_info_id = ? AND kind = ?;";

std::string columnText(sqlite3_stmt* stmt, int col) {
    const auto* text = sqlite3_column_text(stmt, col);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindVerdict(sqlite3_stmt* stmt, int index, int verdict) {
    if (verdict == kVerdictPending) {
        sqlite3_bind_null(stmt, index);
    } else {
        sqlite3_bind_int(stmt, index, verdict);
    }
}

int readRecord(sqlite3_stmt* stmt, HealthRecord& r) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        return 0;
    }
    if (rc != SQLITE_ROW) {
        return -1;
    }
    r.proc_info_id = sqlite3_column_int64(stmt, 0);
    r.baseline_ok = sqlite3_column_int(stmt, 1) != 0;
    r.baseline_detail = columnText(stmt, 2);
    r.phase = sqlite3_column_int(stmt, 3);
    r.starts = sqlite3_column_int(stmt, 4);
    r.passed = sqlite3_column_int(stmt, 5);
    r.window_end = columnText(stmt, 6);
    r.verdict =
        sqlite3_column_type(stmt, 7) == SQLITE_NULL ? kVerdictPending : sqlite3_column_int(stmt, 7);
    r.detail = columnText(stmt, 8);
    r.end_time = columnText(stmt, 9);
    return 1;
}
}  // namespace

bool ensureHealthTable(sqlite3* db) {
    return sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool hasHealthTable(sqlite3* db) {
    return sqlite3_table_column_metadata(db, "main", "health_check", "verdict", nullptr, nullptr,
                                         nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool insertHealthRecord(sqlite3* db, const HealthRecord& r) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kInsert);
    sqlite3_bind_int64(stmt, 1, r.proc_info_id);
    sqlite3_bind_int(stmt, 2, r.baseline_ok ? 1 : 0);
    bindText(stmt, 3, r.baseline_detail);
    bindVerdict(stmt, 4, r.verdict);
    return sqlite3_step(stmt) == SQLITE_DONE;
}

bool updateHealthRecord(sqlite3* db, const HealthRecord& r) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kUpdate);
    sqlite3_bind_int(stmt, 1, r.phase);
    sqlite3_bind_int(stmt, 2, r.starts);
    sqlite3_bind_int(stmt, 3, r.passed);
    bindText(stmt, 4, r.window_end);
    bindVerdict(stmt, 5, r.verdict);
    bindText(stmt, 6, r.detail);
    bindVerdict(stmt, 7, r.verdict);
    sqlite3_bind_int64(stmt, 8, r.proc_info_id);
    return sqlite3_step(stmt) == SQLITE_DONE && sqlite3_changes(db) == 1;
}

int selectHealthRecord(sqlite3* db, std::int64_t procInfoId, HealthRecord& record) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kSelectOne);
    sqlite3_bind_int64(stmt, 1, procInfoId);
    return readRecord(stmt, record);
}

int selectPendingVerification(sqlite3* db, HealthRecord& record) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kSelectPending);
    return readRecord(stmt, record);
}

int countAttempts(sqlite3* db, std::int64_t procInfoId, int kind) {
    SQLiteStmtMaker maker(db);
    sqlite3_stmt* stmt = maker.prepare(kCountAttempts);
    sqlite3_bind_int64(stmt, 1, procInfoId);
    sqlite3_bind_int(stmt, 2, kind);
    return sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
}

}  // namespace zorcommon
