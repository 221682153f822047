// cee-updater's core: start-up (initMain), the alive check, one update run and shutdown
// (endMain).
//
// Single-threaded. Process-wide state: the settings singleton, the connection manager (both
// created by initMain and deleted by endMain) and the number of the last signal received.
// SIGINT and SIGTERM do not end the program: the handler only records the number, and the
// main thread writes the "receive signal" line at its next safe point (noteSignal), so a run
// always goes to its end.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UpdHealthCheck.h"
#include "UpdHealthStore.h"
#include "UpdJobStore.h"
#include "communication/ConnectionManagerUpd.h"
#include "data/SettingData.h"
#include "db/DbUpdController.h"

namespace zorupd {

// The working state of one update run, handed from step group to step group.
struct UpdateRun {
    db::data::UpdBasicInfo target;
    bool emergency = false;
    const char* label = "normal";
    // The runs this run cancels: installed (1), pending (0), failed (2).
    std::vector<db::data::CancelProcInfo> executed, pending, failed;
    std::vector<db::data::PackageInfoData> installs, cancels;
    // The described abort flag: a failing step's reason goes only to the log and the failure
    // file. `skip` says which later work is left out: a failing cancel step ends the cancel work
    // and the install, a failing install step only the install.
    bool aborted = false;
    enum Skip { kSkipNone, kSkipInstall, kSkipAll } skip = kSkipNone;
    int installResult = -1;
    std::string startText;  // UTC text of the run's start
    std::time_t startTime = 0;
    int commandId = 0;
    std::string resultText;
    int failedRc = 0;  // SQLite's code when the due-run query failed
    std::unique_ptr<zorcommon::WriteTransaction> outcome;
    // The health check before the installation (recorded with the install attempt; the success
    // file then says it is pending verification, or unverified).
    bool baselineTaken = false;
    zorcommon::HealthRecord health;

    void fail(Skip what, const std::string& text) {
        resultText = text;
        aborted = true;
        skip = std::max(skip, what);
    }
};

// Exit statuses of cee-updater.
constexpr int kExitOk = 0;
constexpr int kExitNoDatabase = 1;  // also: database not readable, log file cannot be created
constexpr int kExitDbOpenFailed = 2;
constexpr int kExitCommitFailed = 3;      // an attempt or the run's outcome could not be committed
constexpr int kExitResultFileFailed = 4;  // the failure file could not be written
constexpr int kExitNetworkDown = 100;

// Settings singleton, log "upd", banner, signal handlers, connection manager and, unless
// MQTT_CONNECT is false, initConn (whose result is ignored). 0, or 1 when the log file cannot be created (message on stderr).
int initMain(const std::string& configPath);
// Writes the closing lines, deletes the connection manager (ending the MQTT library) and the
// settings singleton.
void endMain();
// Async-signal-safe: stores the number and nothing else.
void signal_handler(int signal);
// Writes "in signal_handler : receive signal -> N" for a signal recorded since the last call.
// Main thread only.
void noteSignal();
// Number of the last signal received (0: none yet).
int lastSignal();
// How many SIGINT/SIGTERM arrived so far: a wait compares it to end early.
int signalsReceived();
// When runMain began (the health check's settle time counts from it).
std::chrono::steady_clock::time_point processStart();
// The connection manager created by initMain (null before and after).
conn::ConnectionManagerUpd* connectionManager();

// Everything after the command line: start-up, alive check, at most one update run, shutdown.
// The exit status: 0, 1, 2 or 100.
int runMain(const std::string& configPath);

class UpdVerifier;

// One run of the package updater inside a journal attempt (cee_upd::runAttempt).
struct AttemptSpec {
    int kind = 0;                    // list and log kind: 0 install, 1 re-install
    int journalKind = 0;             // zorcommon::AttemptKind
    std::string list;                // the package list file
    std::vector<std::string> files;  // the package files it puts in place
    // Written in the transaction that records the attempt; false aborts it.
    std::function<bool(sqlite3*)> withAttempt;
    int code = 0;      // the package updater's status
    int outcome = -1;  // zorcommon::AttemptOutcome
};

class cee_upd {
  public:
    // Requires the settings singleton (initMain, or a test's createInstance). HTTP goes
    // through `manager` (by default the process-wide one created by initMain).
    explicit cee_upd(conn::ConnectionManagerUpd* manager = connectionManager());
    virtual ~cee_upd();
    cee_upd(const cee_upd&) = delete;
    cee_upd& operator=(const cee_upd&) = delete;

    // One ping of PING_SERVER: 0 when it answered, otherwise pingCmd's code.
    int checkAlive();
    // "/bin/ping -c 1 <host> > /dev/null 2>&1" through execCmdCheck.
    int pingCmd(const std::string& host);
    // 0 exit code 0; -1 cannot start; -2 ended by a signal; -3 no wait status; -4 exit code
    // other than 0.
    int execCmdCheck(const std::string& command);
    // Output pieces of a command (see zorcommon::execCmdLines).
    int execCmdLines(const std::string& command, std::vector<std::string>& lines);
    // Raw wait status of a command (see zorcommon::execCmdStatus).
    int execCmdStatus(const std::string& command);

    // One update run, then the result file and the finish command. An attempt that an earlier
    // start left without outcome is settled first (an installation's run then ends here); a
    // run being verified after its installation comes next (UpdVerifier: the start ends with
    // its verification or roll-back). The
    // step code of execUpdate, or -1 (database file missing, not readable, or a name empty),
    // -2 (database not opened or locked), -3 (an attempt or the outcome could not be
    // committed: failure file written, no finish command) or -4 (the failure file could not be
    // written: no finish command).
    int runUpdateProcess();
    // The steps of a run on an open controller, each group of writes in its own short
    // transaction; no transaction is open while an outside program runs. The outcome's
    // transaction is left open in run.outcome for the caller to commit. 0 installed (or, for an
    // emergency update without packages, cancelled), 1 no due run, 2 the due-run query failed,
    // 13/14/15 result or retry not recorded, 16 an attempt could not be recorded (nothing
    // installed), 97/99 failed and recorded (the result text is never empty, so no 98).
    int execUpdate(db::DbUpdController& controller, UpdateRun& run);
    static constexpr int kDueRunQueryFailed = 2;
    static constexpr int kAttemptNotRecorded = 16;
    static constexpr int kCommitFailed = -3;
    static constexpr int kResultFileFailed = -4;

    // Finds the installed version of every package with the package manager query and stores
    // it as old_package_filename. The number found, -1 query not run, -2 no package name,
    // -3 no query template, -4 nothing installed matches. Names are quoted for the shell and
    // escaped for the regular expression, so a name can never run a command.
    int searchOldPackageVersion(std::vector<db::data::PackageInfoData>& packages);
    // The package manager query for the given package names; empty when there is none.
    std::string makePackageQuery(const std::vector<std::string>& names) const;
    // The installed versions (state ii or hi) of the named packages as package file names
    // "name_version_arch.deb": a Multi-Arch ":arch" after the name and the version's epoch are
    // dropped, as in the file names of packages. The number of query lines, or -1 to -4 as
    // searchOldPackageVersion.
    int installedFiles(const std::vector<std::string>& names, std::vector<std::string>& files);
    // Writes a package list file (kind 0 install, 1 re-install). Its path, "no_data" when no
    // package line was written (the file is deleted), empty on failure.
    std::string writePackageList(int kind, std::time_t startTime, const std::string& listDir,
                                 const std::string& prefix,
                                 const std::vector<db::data::PackageInfoData>& packages);
    // Runs the package updater on a list file and waits for it: 0, its raw wait status, or -1
    // to -3 when it could not be run.
    int execPkgDownloadAndInstall(int kind, std::time_t startTime, const std::string& listFile);
    // Success file for code 0 ("update", the command id, then `note` when not empty), failure
    // file otherwise (the failure file is removed first). 0, -1 success file not writable, -2
    // failure file not writable.
    int createResultFile(int code, int commandId, const std::string& resultText,
                         const std::string& note = "");
    // Removes the success file (a pending one, when its run turned out unhealthy).
    void removeSuccessFile();
    // Starts the finish command in the background; the value of system().
    int runFinishCommand();

    // 0 not battery firmware, 1 the storage battery answered, -1 the check failed.
    int storageBatteryConnectionCheck(const std::string& packageFilename);
    // The battery status read request; empty when the battery is not configured.
    std::string createConnectionCheckXml();
    // Maker code and serial number of the storage battery from SystemSetting.xml. 0, or -1.
    int getStorageBatteryInfo(std::string& maker, std::string& serial);
    // POST through the connection manager, with its retries; its status.
    int sendHttpPost(const std::string& url, const std::string& text, std::string& answer);
    // 1 when the answer is SUCCESS with an operation status 0x30 or 0x31, else -1.
    int checkReceiveData(const std::string& answer);

    static constexpr const char* kNoData = "no_data";

    // UPD_RETRY_NUM or UPD_RETRY_INTERVAL; a value below 0 gives the default (5, 120).
    int retrySetting(const char* key) const;
    // Warns about each retry and health setting out of range (start-up).
    void warnRetrySettings() const;
    const HealthSettings& healthSettings() const { return health_; }

  private:
    friend class UpdVerifier;
    // The health check before anything is installed (the baseline); recorded in `run`.
    void takeBaseline(UpdateRun& run);
    // Step groups of a run (execUpdate); each reads and writes `run`.
    void selectCancelTargets(db::DbUpdController& c, UpdateRun& run);    // <2>
    void selectInstallPackages(db::DbUpdController& c, UpdateRun& run);  // <3>
    void lookUpOldVersions(db::DbUpdController& c, UpdateRun& run);      // <4> <5>
    void selectCancelPackages(db::DbUpdController& c, UpdateRun& run);   // <6>
    void checkBattery(UpdateRun& run);                                   // <6.5>
    void cancelPending(db::DbUpdController& c, UpdateRun& run);          // <7>
    int reinstallCancelled(db::DbUpdController& c, UpdateRun& run);      // <8> <9> <10>
    bool writeReinstallList(UpdateRun& run, std::string& list);          // <8>
    int executeReinstall(db::DbUpdController& c, UpdateRun& run, const std::string& list);
    void recordCancelled(db::DbUpdController& c, UpdateRun& run);  // <10>
    int install(db::DbUpdController& c, UpdateRun& run);           // <11> <12>
    // <12> in a journal attempt, recorded with the baseline health check when one was taken.
    int executeInstall(db::DbUpdController& c, UpdateRun& run, const std::string& list);
    int recordOutcome(db::DbUpdController& c, UpdateRun& run);  // <13> to <15>, <9x>
    int recordRetry(db::DbUpdController& c, UpdateRun& run, const std::string& outcome);
    // Runs the package updater on a list inside a journal attempt: 0, the package updater's
    // code and the outcome in `spec`, or kAttemptNotRecorded when the attempt could not be
    // written (the package updater is then not started) or its outcome could not.
    int runAttempt(db::DbUpdController& c, UpdateRun& run, AttemptSpec& spec);
    // What the package manager shows of an attempt's files.
    int attemptOutcomeNow(const std::vector<std::string>& files);
    // Settles an attempt without outcome (see runUpdateProcess). -1 none was open (or a
    // re-install's was settled and the run goes on); otherwise the code of the ended run.
    int settleOpenAttempt(db::DbUpdController& c, UpdateRun& run);
    // The exit code of a failed due-run query, logged: -2 locked, -1 not readable.
    int dueRunQueryFailed(int rc);
    // init and open of the run's controller: 0, or -1 (no database) or -2 (not opened).
    int openDatabase(db::DbUpdController& controller);
    // The result file of an ended run and the finish command: r, or kResultFileFailed when the
    // failure file could not be written (the finish command is then not started).
    int leaveResult(int r, const UpdateRun& run);
    // Begins the transaction of the run's outcome, unless it is open already. Whether it is.
    bool beginOutcome(db::DbUpdController& c, UpdateRun& run);
    // Commits or rolls back the run's outcome and writes the described log lines.
    bool endRun(int r, UpdateRun& run, bool& notRecorded, bool& resultFile);

    // Text of a moment in local time, "%Y%m%d_%H%M%S" (list and output file names).
    static std::string fileTimeText(std::time_t t);

    const std::string pkgGrepWord_ = "#rep_pkg_grep_word#";
    const std::string pkgQueryTemplate_ =
        "dpkg -l | egrep '#rep_pkg_grep_word#' | awk -F' ' '{ print $2 \"_\" $3 \"_\" $4 "
        "\".deb\" }'";
    // Names of the packages in the installed state, one per line.
    static constexpr const char* kInstalledQuery =
        "dpkg -l | awk '$1 == \"ii\" || $1 == \"hi\" { print $2 }'";
    data::SettingData* setting_;
    zorcommon::Logger log_;
    conn::ConnectionManagerUpd* manager_;
    HealthSettings health_;
    UpdHealthCheck check_;
};

}  // namespace zorupd
