// The update-job contract shared by cee-agent, cee-updater and cee-status: the schema of the
// command database, the states of a run, the time convention of scheduled times, the scope
// guard of a write transaction, and the install journal.
//
// The install journal (table install_journal, created when missing, so that a database made
// by an earlier version keeps working) records every change the updater hands to the package
// updater: an attempt is written and committed before the outside program starts, and its
// outcome is written afterwards in a second short transaction. No transaction is open while
// the outside program runs. An attempt without an outcome was cut off (process killed, power
// lost, commit failed): the next start of the updater settles it from what the package manager
// shows. Every function works on a connection the caller owns, on the caller's thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zorcommon {

// The five tables of the command database in the order the agent creates them; the creation
// statements are part of the file format and used exactly.
struct JobTable {
    const char* name;
    const char* create;
};
extern const JobTable kJobTables[5];

// proc_info.proc_status of an update run.
enum RunState : int {
    kRunScheduled = 0,
    kRunInstalled = 1,
    kRunFailed = 2,
    kRunCancelledAfterInstall = 3,
    kRunCancelledBeforeRun = 4,
    kRunSuperseded = 5,
    kRunRolledBack = 6,      // rolled back after a failed health check (final)
    kRunRollbackFailed = 7,  // roll-back failed or not done (final)
};

// Scheduled times are wall-clock texts of UTC + LOCALE_HOUR, whatever zone the device is set
// to. The SQLite datetime modifier that turns UTC into that zone: "+9 hours" for 9.
std::string localeHourModifier(int localeHour);
// A moment as wall-clock text of that zone (strftime format); empty when it cannot be shown.
std::string localeHourText(std::time_t t, int localeHour, const char* format);

// A write transaction for the life of the scope: BEGIN IMMEDIATE at construction (waiting up
// to the connection's busy time-out for another writer), ROLLBACK at destruction unless
// committed. began() tells whether the BEGIN went through.
class WriteTransaction {
  public:
    explicit WriteTransaction(sqlite3* db);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    bool began() const { return open_; }
    // True when the COMMIT went through; a failed COMMIT is rolled back.
    bool commit();
    void rollback();

  private:
    sqlite3* db_;
    bool open_ = false;
};

// Runs `write` (a count, or a negative code) in a short transaction of its own: its result
// when the transaction was begun and committed; -1 when either failed; its negative code as it
// is. Nothing of a write that does not return a count stays.
template <typename Write>
int inWriteTransaction(sqlite3* db, Write write) {
    WriteTransaction tx(db);
    if (!tx.began()) {
        return -1;
    }
    const int n = write();
    return n < 0 ? n : (tx.commit() ? n : -1);
}

// Kinds of attempts: the installation of a run's packages, the re-installation of the
// versions from before the updates that an emergency run cancels, or the re-installation of a
// run's old versions after its failed health check.
enum AttemptKind : int { kAttemptInstall = 0, kAttemptReinstall = 1, kAttemptRollback = 2 };

// Outcomes of an attempt: NULL (still open), or one of these.
enum AttemptOutcome : int {
    kOutcomeInstalled = 0,
    kOutcomeNotInstalled = 1,
    kOutcomePartly = 2,
};

struct InstallAttempt {
    std::int64_t id = -1;
    std::int64_t proc_info_id = -1;
    std::int64_t command_info_id = -1;
    int kind = kAttemptInstall;
    // The package files the attempt puts in place ("name_version_arch.deb"), one per entry.
    std::vector<std::string> files;
    std::string begin_time;  // UTC text
};

// Creates install_journal if it is missing. False when that failed.
bool ensureInstallJournal(sqlite3* db);
// Records an attempt about to start (inside the caller's transaction). Its id, or -1.
std::int64_t insertAttempt(sqlite3* db, const InstallAttempt& attempt);
// Records an attempt's outcome and the package updater's status (-1: not known, the attempt
// was settled later from the package manager). True when one row was updated.
bool updateAttemptOutcome(sqlite3* db, std::int64_t id, int outcome, int exitStatus);
// The oldest attempt without outcome, of one run when procInfoId is 1 or more: 1 found, 0 none,
// -1 query failed.
int selectOpenAttempt(sqlite3* db, InstallAttempt& attempt, std::int64_t procInfoId = -1);
// Whether the database has the journal (a database of an earlier version may not, until the
// updater's next start).
bool hasInstallJournal(sqlite3* db);

// "installed", "not installed" or "partly installed".
const char* attemptOutcomeText(int outcome);

// Outcome of an attempt from the package files now installed: every file of the attempt
// installed, none (also when it names none), or some.
int attemptOutcome(const std::vector<std::string>& files,
                   const std::vector<std::string>& installedFiles);

}  // namespace zorcommon
