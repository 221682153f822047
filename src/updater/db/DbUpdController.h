// The updater's access to the shared command database: connection, lock file (db_upd.lock,
// "[RO]") and transactions from DbControllerBase, and the ten queries and updates of an update
// run.
//
// The updater never creates the database. One controller is opened per run by
// runUpdateProcess; every operation runs on that connection inside the caller's transaction,
// on the updater's single thread. Operations append to the lists they are given and flush the
// log before they return. A statement that meets a lock of cee-agent or of a reader waits up
// to the busy time-out (BUSY_TIMEOUT_MS), then fails (SQLITE_BUSY) and is reported as a failed
// step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DbControllerBase.h"
#include "DbLock.h"
#include "SQLiteStmtMaker.h"
#include "UpdJobStore.h"
#include "data/UpdDbData.h"

namespace zorupd {
namespace db {

using zorcommon::DbLock;
using zorcommon::setupLockFiles;
using zorcommon::SQLiteStmtMaker;

class DbUpdController : public zorcommon::DbControllerBase {
  public:
    DbUpdController();

    // 0 ready to open; 1 directory or file name empty; 2 the database file does not exist
    // (the lock guards then stay without paths). Writes no log line and never creates or
    // removes anything but missing directories of dbDir.
    int init(const std::string& dbDir, const std::string& dbFile, const std::string& lockCee,
             const std::string& lockUpd);

    // Scheduled times are wall-clock texts of UTC + this many hours (LOCALE_HOUR; 9 unless set).
    void setLocaleHour(int hours) { localeModifier_ = zorcommon::localeHourModifier(hours); }

    // The one due run (state 0, sched_proc_time not later than now in local wall-clock time,
    // update type 0, 1 or 2): highest type first, then the earliest. All -1 when none is due
    // or the query failed; then *failedRc (if given) is set to SQLite's code, so that an
    // unreadable or locked database is not taken for one with nothing due.
    data::UpdBasicInfo selectTargetCommandInfo(int* failedRc = nullptr);

    // The latest runs (at state 0 or 1) of the updates that this update cancels: state 0 goes
    // to `pending`, any other to `executed`. Total size of both lists, or -2.
    int selectCancelProcInfo(std::int64_t command_info_id,
                             std::vector<data::CancelProcInfo>& executed,
                             std::vector<data::CancelProcInfo>& pending);

    // The packages of one update in seq_no order. Size of `list`, 0 for an id below 1, or -2.
    int selectPackageInfoAtCiid(std::int64_t command_info_id,
                                std::vector<data::PackageInfoData>& list);

    // Stores old_package_filename of each package. Rows updated, or -1 at the first failure
    // (rows before it stay updated inside the transaction).
    int updateOldPackageInfo(const std::vector<data::PackageInfoData>& list);

    // The packages of the given runs' updates (database order). Size of `list`, -1 when the
    // statement cannot be built, or -2.
    int selectCancelPackageInfo(const std::vector<data::CancelProcInfo>& targets,
                                std::vector<data::PackageInfoData>& list);

    // Marks runs as cancelled before execution (4). Rows updated, or -1 at the first failure.
    int updateCancelNotExecProcInfo(const std::vector<data::CancelProcInfo>& list);
    // Marks runs as cancelled after install (3). Rows updated, or -1 at the first failure.
    int updateCancelSuccessProcInfo(const std::vector<data::CancelProcInfo>& list);

    // Records a run's outcome. 1 (also when no row has that id), or -1.
    int updateResultProcInfo(std::int64_t proc_info_id, int status, const std::string& result,
                             const std::string& start, const std::string& end);

    // Ends the verification of an installed run in a final state (6 or 7) with its result text.
    // 1, 0 when the run is no longer installed (cancelled meanwhile), or -1.
    int updateVerifiedRun(std::int64_t proc_info_id, int status, const std::string& result);

    // Highest exic_num of the update (0 when it has no run); -1 when it reached `max`; -2
    // query failed; -3 the stored count is not a whole number of 0 or more.
    int selectNextProcNum(std::int64_t command_info_id, int max);

    // Adds a retry run due `seconds` from now (UTC+9 wall-clock text) with the next exic_num.
    // 1, -1 when the insert failed, -2 when the statement cannot be built.
    int insertNextProcInfo(std::int64_t command_info_id, int seconds);

    // A run by its id (whatever its state), as the due-run query gives it; all -1 when none.
    data::UpdBasicInfo selectRunById(std::int64_t proc_info_id);

    // The latest runs of the updates that this update cancels, when those runs failed (2).
    // Size of `failed`, or -2.
    int selectFailedCancelTargets(std::int64_t command_info_id,
                                  std::vector<data::CancelProcInfo>& failed);
    // The version recorded as old by another order's row of the same package file (the same
    // update ordered again after it was installed); empty when there is none.
    std::string selectEarlierOldPackage(const data::PackageInfoData& package);

  private:
    int updateCancelStatus(const char* op, const char* what, int status,
                           const std::vector<data::CancelProcInfo>& list);
    // Appends the run rows (id, command_info_id, proc_status) of a prepared statement; the
    // last step's code.
    int readCancelRows(sqlite3_stmt* stmt, std::vector<data::CancelProcInfo>& list);
    // Appends the package rows of a prepared statement; the last step's code.
    int readPackageRows(sqlite3_stmt* stmt, std::vector<data::PackageInfoData>& list);

    std::string localeModifier_ = zorcommon::localeHourModifier(9);
};

}  // namespace db
}  // namespace zorupd
