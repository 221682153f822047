// The record of the health check after an installation, shared by cee-updater (which writes
// it) and cee-status (which shows it).
//
// Table health_check (created when missing, like the install journal) holds one row per update
// run that was installed with the health check on: whether the device was healthy before the
// installation (the baseline), which installation the check is verifying (the run's own, or the
// roll-back to the old versions), how many updater starts began verifying it, the checks passed
// in a row by the current start, the end of its window, and the verdict. The run's state stays
// in proc_info; a verdict is written in the same transaction as the state it leads to, so the
// two never disagree. A run is being verified while its state is 1 (installed) and its row has
// no verdict. Every function works on a connection the caller owns, on the caller's thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace zorcommon {

// What a start is verifying: the run's installation, or the roll-back to its old versions.
enum VerifyPhase : int { kVerifyInstall = 0, kVerifyRollback = 1 };

// The end of a verification (health_check.verdict; NULL while it goes on).
enum Verdict : int {
    kVerdictPending = -1,
    kVerdictVerified = 0,        // healthy after the installation: the run stays installed
    kVerdictUnverified = 1,      // the device was unhealthy before: not checked, never rolled back
    kVerdictRolledBack = 2,      // unhealthy, rolled back, the old versions healthy (run state 6)
    kVerdictRollbackFailed = 3,  // roll-back impossible, cut off too often, or unhealthy (7)
};

struct HealthRecord {
    std::int64_t proc_info_id = -1;
    bool baseline_ok = true;
    std::string baseline_detail;  // what the failed baseline check saw
    int phase = kVerifyInstall;
    int starts = 0;          // starts that began verifying the current phase
    int passed = 0;          // checks passed in a row by the latest start
    std::string window_end;  // UTC text: the end of the latest start's window
    int verdict = kVerdictPending;
    std::string detail;    // the failed check and what it saw (the reason of a roll-back)
    std::string end_time;  // UTC text of the verdict
};

// Creates health_check if it is missing. False when that failed.
bool ensureHealthTable(sqlite3* db);
// Whether the database has the table (a database of an earlier version may not).
bool hasHealthTable(sqlite3* db);
// Writes the row of a run about to be installed: its baseline and verdict (replacing an earlier
// row of the same run); the verification has not begun.
bool insertHealthRecord(sqlite3* db, const HealthRecord& record);
// Writes the changing columns (phase to end_time; end_time is set with a verdict). True when
// one row was updated.
bool updateHealthRecord(sqlite3* db, const HealthRecord& record);
// The row of a run: 1 found, 0 none, -1 query failed.
int selectHealthRecord(sqlite3* db, std::int64_t procInfoId, HealthRecord& record);
// The oldest run being verified (state 1, no verdict): 1 found, 0 none, -1 query failed.
int selectPendingVerification(sqlite3* db, HealthRecord& record);
// Attempts of one kind recorded in the install journal for a run; -1 when the query failed.
int countAttempts(sqlite3* db, std::int64_t procInfoId, int kind);

}  // namespace zorcommon
