#include "StatusReader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "SQLiteStmtMaker.h"
#include "UpdJobStore.h"

namespace zorstatus {

namespace {
using zorcommon::SQLiteStmtMaker;

const char* const kCountOrders = "SELECT count(*) FROM command_info;";
const char* const kSelectOrders =
    "SELECT id, command_json, server_time_str, res_result, res_error_str, create_time "
    "FROM command_info ORDER BY id DESC LIMIT ?;";
const char* const kSelectJobs =
    "SELECT id, upd_command_id, upd_command_type, upd_cmd_req_id, upd_sched_exec_time, "
    "create_time, res_result, res_error_str FROM command_info "
    "WHERE upd_command_type IN ( 0, 1, 2 ) ORDER BY id DESC;";
const char* const kSelectPackages =
    "SELECT seq_no, package_filename, package_name, package_path, old_package_filename "
    "FROM package_list WHERE command_info_id = ? ORDER BY seq_no, id;";
const char* const kSelectCancels =
    "SELECT seq_no, cancel_command_id, is_cancel FROM cancel_cid_list "
    "WHERE command_info_id = ? ORDER BY seq_no, id;";
const char* const kSelectRuns =
    "SELECT id, exic_num, proc_status, sched_proc_time, r_start_time, r_end_time, cancel_time, "
    "create_time, r_result_str FROM proc_info WHERE command_info_id = ? ORDER BY exic_num, id;";

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseDb>;

std::string text(sqlite3_stmt* st, int col) {
    const auto* t = sqlite3_column_text(st, col);
    return t == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(t),
                                      static_cast<size_t>(sqlite3_column_bytes(st, col)));
}

std::optional<std::string> optText(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        return std::nullopt;
    }
    return text(st, col);
}

std::optional<long long> optInt(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        return std::nullopt;
    }
    return sqlite3_column_int64(st, col);
}

// Thrown inside readAll only, with the code and reason of the failed step.
struct ReadFailure {
    int code;
    std::string reason;
};

class Reader {
  public:
    explicit Reader(sqlite3* db) : db_(db), maker_(db) {}
    sqlite3* db() const { return db_; }

    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* st = maker_.prepare(sql);
        if (st == nullptr) {
            fail();
        }
        return st;
    }

    // Steps once: true for a row, false when done; anything else is a failure.
    bool step(sqlite3_stmt* st) {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            fail();
        }
        return false;
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail();
        }
    }

    [[noreturn]] void fail() {
        const int rc = sqlite3_errcode(db_);
        const int code = (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) ? kReadBusy : kReadQueryFailed;
        std::string reason = sqlite3_errmsg(db_);
        if (code == kReadBusy) {
            reason += " (a writer kept the database locked)";
        } else if (sqlite3_extended_errcode(db_) == SQLITE_READONLY_ROLLBACK) {
            reason +=
                " (an interrupted write left its journal; the agent or the updater rolls "
                "it back when it next opens the database)";
        }
        throw ReadFailure{code, reason};
    }

  private:
    sqlite3* db_;
    SQLiteStmtMaker maker_;
};

void readJobDetails(Reader& reader, UpdateJob& job, sqlite3_stmt* packages, sqlite3_stmt* cancels,
                    sqlite3_stmt* runs, bool journal, bool health) {
    for (auto* st : {packages, cancels, runs}) {
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, job.id);
    }
    while (reader.step(packages)) {
        job.packages.push_back(PackageRow{sqlite3_column_int64(packages, 0), text(packages, 1),
                                          text(packages, 2), text(packages, 3),
                                          optText(packages, 4)});
    }
    while (reader.step(cancels)) {
        job.cancels.push_back(CancelRow{sqlite3_column_int64(cancels, 0), text(cancels, 1),
                                        sqlite3_column_int64(cancels, 2) != 0});
    }
    while (reader.step(runs)) {
        RunRow run;
        run.id = sqlite3_column_int64(runs, 0);
        run.tryNumber = sqlite3_column_int64(runs, 1);
        run.state = sqlite3_column_int64(runs, 2);
        run.due = text(runs, 3);
        run.started = optText(runs, 4);
        run.ended = optText(runs, 5);
        run.cancelled = optText(runs, 6);
        run.created = optText(runs, 7);
        run.result = optText(runs, 8);
        zorcommon::InstallAttempt attempt;
        if (journal && zorcommon::selectOpenAttempt(reader.db(), attempt, run.id) > 0) {
            run.attemptBegun = attempt.begin_time;
            run.attemptReinstall = attempt.kind == zorcommon::kAttemptReinstall;
        }
        zorcommon::HealthRecord record;
        if (health && zorcommon::selectHealthRecord(reader.db(), run.id, record) > 0) {
            run.health = record;
        }
        job.runs.push_back(run);
    }
}

// All queries of the snapshot, between BEGIN and COMMIT; a failure leaves the transaction to
// the connection's close, which rolls it back.
void readAll(sqlite3* db, int orderLimit, Snapshot& snapshot) {
    Reader reader(db);
    reader.exec("BEGIN;");

    sqlite3_stmt* count = reader.prepare(kCountOrders);
    if (reader.step(count)) {
        snapshot.orderTotal = sqlite3_column_int64(count, 0);
    }

    sqlite3_stmt* orders = reader.prepare(kSelectOrders);
    sqlite3_bind_int(orders, 1, orderLimit);
    while (reader.step(orders)) {
        snapshot.orders.push_back(OrderRow{sqlite3_column_int64(orders, 0), text(orders, 1),
                                           optText(orders, 2), optInt(orders, 3), text(orders, 4),
                                           optText(orders, 5)});
    }

    sqlite3_stmt* jobs = reader.prepare(kSelectJobs);
    sqlite3_stmt* packages = reader.prepare(kSelectPackages);
    sqlite3_stmt* cancels = reader.prepare(kSelectCancels);
    sqlite3_stmt* runs = reader.prepare(kSelectRuns);
    const bool journal = zorcommon::hasInstallJournal(db);
    const bool health = zorcommon::hasHealthTable(db);
    while (reader.step(jobs)) {
        UpdateJob job;
        job.id = sqlite3_column_int64(jobs, 0);
        job.commandId = text(jobs, 1);
        job.type = sqlite3_column_int64(jobs, 2);
        job.requestId = text(jobs, 3);
        job.scheduled = optText(jobs, 4);
        job.recorded = optText(jobs, 5);
        job.result = optInt(jobs, 6);
        job.error = text(jobs, 7);
        snapshot.jobs.push_back(std::move(job));
    }
    for (auto& job : snapshot.jobs) {
        readJobDetails(reader, job, packages, cancels, runs, journal, health);
    }
    reader.exec("COMMIT;");
}
}  // namespace

int readSnapshot(const std::string& dbPath, int orderLimit, int busyTimeoutMs, Snapshot& snapshot,
                 std::string& error) {
    snapshot = Snapshot{};
    snapshot.database = dbPath;
    struct stat st {};
    if (dbPath.empty() || ::stat(dbPath.c_str(), &st) != 0) {
        error = "database not found: " + dbPath;
        return kReadMissing;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a database file: " + dbPath;
        return kReadOpenFailed;
    }
    // SQLite would take a name starting with "file:" as a URI; the name is meant literally.
    const std::string name = dbPath.rfind("file:", 0) == 0 ? "./" + dbPath : dbPath;

    try {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(name.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        Connection db(raw);
        if (rc != SQLITE_OK) {
            error = "cannot open " + dbPath + ": " +
                    (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return kReadOpenFailed;
        }
        sqlite3_busy_timeout(db.get(), busyTimeoutMs);
        readAll(db.get(), orderLimit, snapshot);
    } catch (const ReadFailure& failure) {
        error = "cannot read " + dbPath + ": " + failure.reason;
        snapshot = Snapshot{};
        snapshot.database = dbPath;
        return failure.code;
    } catch (const std::exception& e) {
        error = "cannot read " + dbPath + ": " + e.what();
        return kReadQueryFailed;
    }
    return kReadOk;
}

std::vector<ResultFile> readResultFiles(const std::string& dir,
                                        const std::vector<std::string>& names) {
    std::vector<ResultFile> files;
    for (const auto& name : names) {
        ResultFile file;
        file.name = name;
        file.path = dir + "/" + name;
        struct stat st {};
        if (!name.empty() && ::stat(file.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            file.present = true;
            file.modified = static_cast<long long>(st.st_mtime);
            std::ifstream in(file.path, std::ios::binary);
            file.content.resize(kResultFileLimit + 1);
            in.read(&file.content[0], static_cast<std::streamsize>(file.content.size()));
            file.content.resize(static_cast<size_t>(in.gcount()));
            if (file.content.size() > kResultFileLimit) {
                file.content.resize(kResultFileLimit);
                file.truncated = true;
            }
        }
        files.push_back(std::move(file));
    }
    return files;
}

}  // namespace zorstatus
