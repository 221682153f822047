#include "cee_upd.h"

#include <signal.h>
#include <tinyxml2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "DbControllerBase.h"
#include "ExecCmd.h"
#include "FileUtil.h"
#include "UpdVerifier.h"

namespace zorupd {

namespace {
const char* const kSeparator = "===========================================";

std::atomic<int> lastSignalNumber{0};
std::atomic<int> signalCount{0};
// Set by runMain: the start of this run of the program.
std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
// Receptions not yet logged, per signal number: counted by the handler, taken by noteSignal.
std::atomic<int> unloggedSignals[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

std::unique_ptr<conn::ConnectionManagerUpd> manager;

zorcommon::Logger logger() {
    return spdlog::get("upd");
}

const char* updateTypeLabel(int type) {
    return type == 1 ? "emargency" : "normal";
}

// Kinds of package list and package updater runs.
constexpr int kInstall = 0;
constexpr int kReinstall = 1;

std::string utcText(std::time_t t) {
    std::tm utc{};
    char buffer[32] = {};
    if (gmtime_r(&t, &utc) != nullptr) {
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &utc);
    }
    return buffer;
}

// A package name as a literal part of the query: regular-expression characters escaped for
// egrep, single quotes closed and reopened for the shell. Letters, digits and "-" stay as
// they are.
std::string quotePackageName(const std::string& name) {
    static const std::string special = ".[]()*+?{}|^$\\";
    std::string out;
    for (const char c : name) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            if (special.find(c) != std::string::npos) {
                out += '\\';
            }
            out += c;
        }
    }
    return out;
}

void installSignalHandlers(const zorcommon::Logger& log) {
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = signal_handler;
        sigemptyset(&action.sa_mask);
        // Restarted system calls keep popen/pclose and file reads working when a signal
        // arrives while the run waits for a command.
        action.sa_flags = SA_RESTART;
        if (sigaction(sig, &action, nullptr) != 0) {
            ZLOG_E(log, "[{}:{}] Error: set signal handler");
            zorcommon::flushLog(log);
        }
    }
}
}  // namespace

void signal_handler(int signal) {
    lastSignalNumber.store(signal);
    signalCount.fetch_add(1);
    if (signal > 0 && signal < NSIG) {
        unloggedSignals[signal].fetch_add(1);
    }
}

void noteSignal() {
    zorcommon::Logger log;
    for (int sig = 1; sig < NSIG; ++sig) {
        for (int n = unloggedSignals[sig].exchange(0); n > 0; --n) {
            if (!log) {
                log = logger();
            }
            ZLOG_I(log, "[{}:{}] in signal_handler : receive signal -> {}", sig);
        }
    }
    zorcommon::flushLog(log);
}

int lastSignal() {
    return lastSignalNumber.load();
}

int signalsReceived() {
    return signalCount.load();
}

std::chrono::steady_clock::time_point processStart() {
    return started;
}

conn::ConnectionManagerUpd* connectionManager() {
    return manager.get();
}

int initMain(const std::string& configPath) {
    data::SettingData::createInstance(configPath);
    const auto* setting = data::SettingData::getInstance();

    std::string error;
    const auto log = zorcommon::createRotatingLogger(
        "upd", setting->getStringValue("LOG_DIR"), setting->getStringValue("LOG_FILE"),
        setting->getIntValue("LOG_MAX_BYTES"), setting->getIntValue("LOG_COUNTS"), error);
    if (!log) {
        std::cerr << "cee-updater: cannot open log file " << setting->getStringValue("LOG_DIR")
                  << "/" << setting->getStringValue("LOG_FILE") << " : " << error << std::endl;
        data::SettingData::destroyInstance();
        return 1;
    }
    zorcommon::logPlain(log, kSeparator);
    ZLOG_I(log, "[{}:{}] Start Command Execution Environment.");
    zorcommon::flushLog(log);

    installSignalHandlers(log);
    zorcommon::setBusyTimeoutMs(setting->getIntValue("BUSY_TIMEOUT_MS"));

    manager = std::make_unique<conn::ConnectionManagerUpd>();
    if (setting->getIntValue("MQTT_CONNECT") != 0) {
        // Only HTTP is used afterwards: a broker that cannot be reached does not stop the run.
        manager->initConn();
    } else {
        // The updater never publishes or subscribes: no broker session is opened for nothing.
        ZLOG_I(log, "[{}:{}] in initMain : MQTT_CONNECT false : MQTT interface not initialised");
    }
    noteSignal();
    return 0;
}

void endMain() {
    noteSignal();
    const auto log = logger();
    ZLOG_I(log, "[{}:{}] in endMain : finished!");
    zorcommon::logPlain(log, kSeparator);
    zorcommon::flushLog(log);
    manager.reset();
    data::SettingData::destroyInstance();
}

int runMain(const std::string& configPath) {
    started = std::chrono::steady_clock::now();
    try {
        if (initMain(configPath) != 0) {
            return kExitNoDatabase;
        }
        auto updater = std::make_unique<cee_upd>();
        updater->warnRetrySettings();
        int status = kExitOk;
        if (updater->checkAlive() != 0) {
            status = kExitNetworkDown;
        } else {
            const int r = updater->runUpdateProcess();
            status = r < 0 ? -r : kExitOk;
        }
        endMain();
        updater.reset();
        return status;
    } catch (const std::exception& e) {
        // Nothing is expected to throw; should something still do, end with a message rather
        // than abort. The controller's destructor has already released the lock file.
        std::cerr << "cee-updater: unexpected error: " << e.what() << std::endl;
        return kExitNoDatabase;
    }
}

cee_upd::cee_upd(conn::ConnectionManagerUpd* manager)
    : setting_(data::SettingData::getInstance()),
      log_(logger()),
      manager_(manager),
      // (Without the settings singleton, as in the answer parser's fuzz target: defaults.)
      health_(setting_ != nullptr ? readHealthSettings(*setting_, nullptr) : HealthSettings()),
      check_(
          health_,
          [this](const std::vector<std::string>& names, std::vector<std::string>& files) {
              return installedFiles(names, files);
          },
          manager_, setting_ != nullptr ? setting_->getStringValue("URL") : "", log_) {}

cee_upd::~cee_upd() = default;

namespace {
struct RetrySetting {
    const char* key;
    int fallback;
};
const RetrySetting kRetrySettings[] = {{"UPD_RETRY_NUM", 5}, {"UPD_RETRY_INTERVAL", 120}};
}  // namespace

int cee_upd::retrySetting(const char* key) const {
    const int value = setting_->getIntValue(key);
    for (const auto& s : kRetrySettings) {
        if (std::string(key) == s.key && value < 0) {
            // A negative interval would make the retry time NULL and the retry insert fail,
            // a negative count would give no run at all: the default keeps the limit sound.
            return s.fallback;
        }
    }
    return value;
}

void cee_upd::warnRetrySettings() const {
    for (const auto& s : kRetrySettings) {
        const int value = setting_->getIntValue(s.key);
        if (value < 0) {
            ZLOG_W(log_, "[{}:{}] setting {} -> {} is out of range : default {} is used", s.key,
                   value, s.fallback);
        }
    }
    readHealthSettings(*setting_, &log_);
    zorcommon::flushLog(log_);
}

int cee_upd::checkAlive() {
    const std::string host = setting_->getStringValue("PING_SERVER");
    const int r = pingCmd(host);
    if (r != 0) {
        ZLOG_W(log_, "[{}:{}] : <<< network down : ping filed --> ({}) (remote: {}) >>>", r, host);
    } else {
        ZLOG_I(log_, "[{}:{}] : <<< nework reached : ping success --> ({}) (remote: {}) >>>", r,
               host);
    }
    zorcommon::flushLog(log_);
    noteSignal();
    return r;
}

int cee_upd::pingCmd(const std::string& host) {
    // Exactly one ping: PING_NUM is read but does not repeat it.
    const std::string command = "/bin/ping -c 1 " + host + " > /dev/null 2>&1";
    const int r = execCmdCheck(command);
    ZLOG_I(log_, "[{}:{}] : <<< pingCmd --> ({}) (ret: {}) >>>", command, r);
    return r;
}

int cee_upd::execCmdCheck(const std::string& command) {
    return zorcommon::execCmdCheck(command);
}

int cee_upd::execCmdLines(const std::string& command, std::vector<std::string>& lines) {
    return zorcommon::execCmdLines(command, lines);
}

int cee_upd::execCmdStatus(const std::string& command) {
    return zorcommon::execCmdStatus(command);
}

int cee_upd::runUpdateProcess() {
    ZLOG_I(log_, "[{}:{}] : === start update process. ===");
    zorcommon::flushLog(log_);

    db::DbUpdController controller;
    const int opened = openDatabase(controller);
    if (opened != 0) {
        return opened;
    }
    UpdateRun run;
    int r = settleOpenAttempt(controller, run);
    if (r < 0) {
        // A run being verified (or rolled back) takes this start before any due run.
        const int v = UpdVerifier(*this, controller).run();
        if (v != UpdVerifier::kNothingToVerify) {
            controller.close();
            noteSignal();
            zorcommon::flushLog(log_);
            return v;
        }
        r = execUpdate(controller, run);
    }
    noteSignal();
    bool notRecorded = false;
    bool resultFile = true;
    const bool committed = endRun(r, run, notRecorded, resultFile);
    controller.close();
    noteSignal();

    if (r == kDueRunQueryFailed) {
        return dueRunQueryFailed(run.failedRc);
    }
    if (!committed || notRecorded) {
        // The outcome is not in the database, so the device must not act on it: no success
        // file and no finish command; the next start settles the attempt or runs it.
        const char* what = !committed                 ? "failed to db commit"
                           : r == kAttemptNotRecorded ? "failed to record the attempt"
                                                      : "failed to record the outcome";
        run.resultText = std::string(what) + " : run not recorded, retried at the next start" +
                         (run.resultText.empty() ? std::string() : " | " + run.resultText);
        r = kCommitFailed;
    }
    const int status = resultFile ? leaveResult(r, run) : r;
    zorcommon::flushLog(log_);
    return status;
}

int cee_upd::dueRunQueryFailed(int rc) {
    const bool locked = rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
    if (locked) {
        ZLOG_W(log_, "[{}:{}] Database is locked : due run query failed -> {} ({})", rc,
               sqlite3_errstr(rc));
    } else {
        ZLOG_W(log_, "[{}:{}] Database is not readable : due run query failed -> {} ({})", rc,
               sqlite3_errstr(rc));
    }
    zorcommon::flushLog(log_);
    return locked ? -2 : -1;
}

int cee_upd::openDatabase(db::DbUpdController& controller) {
    const int initResult =
        controller.init(setting_->getStringValue("DB_PATH"), setting_->getStringValue("DB_FILE"),
                        setting_->getStringValue("LOCK_CEE"), setting_->getStringValue("LOCK_UPD"));
    if (initResult != 0) {
        ZLOG_W(log_, "[{}:{}] Database file is not found. -> {}", initResult);
        zorcommon::flushLog(log_);
        return -1;
    }
    const bool opened = controller.open();
    if (!opened) {
        ZLOG_W(log_, "[{}:{}] Database open failed. -> {}", opened);
        zorcommon::flushLog(log_);
        // Removes a lock file left behind by a run that ended without close, so that the next
        // start can open.
        controller.close();
        return -2;
    }
    controller.setLocaleHour(setting_->getIntValue("LOCALE_HOUR"));
    noteSignal();
    return 0;
}

int cee_upd::leaveResult(int r, const UpdateRun& run) {
    // Until a later start has verified the installation, nothing on the device may read the
    // success file as final.
    const std::string note = r != 0 || !run.baselineTaken ? ""
                             : run.health.verdict == zorcommon::kVerdictUnverified
                                 ? "unverified"
                                 : "pending verification";
    const int written = createResultFile(r, run.commandId, run.resultText, note);
    if (written != 0) {
        ZLOG_W(log_, "[{}:{}] failed to result file");
    }
    if (written == -2) {
        // A failure that cannot be written down must not be followed by the finish command (a
        // reboot), which would leave the device with no word of what went wrong.
        ZLOG_E(log_, "[{}:{}] failure file not written : finish command not started");
        return kResultFileFailed;
    }
    if (r != kCommitFailed) {
        runFinishCommand();
    }
    return r;
}

bool cee_upd::endRun(int r, UpdateRun& run, bool& notRecorded, bool& resultFile) {
    zorcommon::logPlain(log_, "<<<<<--------------------------");
    bool commit = false;
    if (r == 0) {
        ZLOG_I(log_, "[{}:{}] Update execution success -> {}", r);
        commit = true;
    } else if (r >= 90) {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, but done re-schedule",
               r);
        commit = true;
    } else if (r == 1 || r == kDueRunQueryFailed) {
        if (r == 1) {
            ZLOG_I(log_, "[{}:{}] No update target");
        }
        resultFile = false;
    } else {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, db data unchanged", r);
        notRecorded = true;
    }
    zorcommon::logPlain(log_, "-------------------------->>>>>");
    if (!commit) {
        if (run.outcome) {
            run.outcome->rollback();
        }
        ZLOG_I(log_, "[{}:{}] do db rollback!");
        return true;
    }
    const bool committed = run.outcome && run.outcome->commit();
    if (committed) {
        ZLOG_I(log_, "[{}:{}] success db commit!");
    } else {
        ZLOG_W(log_, "[{}:{}] failed to db commit!");
    }
    return committed;
}

std::string cee_upd::fileTimeText(std::time_t t) {
    std::tm local{};
    char buffer[32] = {};
    if (localtime_r(&t, &local) != nullptr) {
        std::strftime(buffer, sizeof buffer, "%Y%m%d_%H%M%S", &local);
    }
    return buffer;
}

int cee_upd::execUpdate(db::DbUpdController& c, UpdateRun& run) {
    run.target = c.selectTargetCommandInfo(&run.failedRc);
    if (run.failedRc != 0) {
        return kDueRunQueryFailed;
    }
    if (!run.target.hasTarget()) {
        return 1;
    }
    run.emergency = run.target.command_type == 1;
    run.label = updateTypeLabel(run.target.command_type);
    ZLOG_I(log_,
           "[{}:{}] ===== <1> get update targets : proc_info.id -> {} : command_info.id -> {} : "
           "update id -> {} : update type -> {}",
           run.target.proc_info_id, run.target.command_info_id, run.target.command_id, run.label);
    run.commandId = run.target.command_id;
    noteSignal();

    if (run.emergency) {
        selectCancelTargets(c, run);
    }
    selectInstallPackages(c, run);
    if (!run.emergency) {
        lookUpOldVersions(c, run);
    }
    selectCancelPackages(c, run);
    checkBattery(run);
    takeBaseline(run);
    run.startTime = std::time(nullptr);
    run.startText = utcText(run.startTime);
    if (run.emergency) {
        cancelPending(c, run);
        const int r = reinstallCancelled(c, run);
        if (r != 0) {
            return r;
        }
        // After the re-install: the versions of before the cancelled updates are the old ones,
        // not the versions that those updates installed.
        lookUpOldVersions(c, run);
    }
    const int r = install(c, run);
    return r != 0 ? r : recordOutcome(c, run);
}

void cee_upd::takeBaseline(UpdateRun& run) {
    if (!health_.enabled || run.skip != UpdateRun::kSkipNone || run.installs.empty()) {
        return;
    }
    const HealthResult before = check_.checkOnce({}, 0);
    run.baselineTaken = true;
    run.health = zorcommon::HealthRecord();
    run.health.baseline_ok = before.ok;
    if (!before.ok) {
        // The check cannot tell this update's fault from the one already there.
        run.health.baseline_detail = before.failed;
        run.health.verdict = zorcommon::kVerdictUnverified;
        ZLOG_W(log_,
               "[{}:{}] ===== health : device unhealthy before the installation : {} : the update "
               "stays unverified, never rolled back",
               before.failed);
    }
}

void cee_upd::selectCancelTargets(db::DbUpdController& c, UpdateRun& run) {
    const int n = c.selectCancelProcInfo(run.target.command_info_id, run.executed, run.pending);
    if (n < 0) {
        ZLOG_W(log_, "[{}:{}] ===== <2> get cancel target : select error -> {}", n);
        run.fail(UpdateRun::kSkipAll, "<2> : select cancel target error -> " + std::to_string(n));
        return;
    }
    if (n == 0) {
        ZLOG_I(log_, "[{}:{}] ===== <2> get cancel target : no have target at cancel");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <2> get cancel target : cancel cid total num -> {} :: already "
               "executed num -> {} : not executed num -> {}",
               n, run.executed.size(), run.pending.size());
        for (const auto& t : run.executed) {
            ZLOG_I(log_,
                   "[{}:{}]           : [already installed] : proc_info.id -> {} : "
                   "command_info_id -> {} : proc_status -> {}",
                   t.id, t.command_info_id, t.proc_status);
        }
        for (const auto& t : run.pending) {
            ZLOG_I(log_,
                   "[{}:{}]           : [not executed] : proc_info.id -> {} : command_info_id -> "
                   "{} : proc_status -> {}",
                   t.id, t.command_info_id, t.proc_status);
        }
    }
    // A failed update may have left some of its packages at the new version.
    if (c.selectFailedCancelTargets(run.target.command_info_id, run.failed) < 0) {
        run.fail(UpdateRun::kSkipAll, "<2> : select cancel target error -> -2");
    }
}

void cee_upd::selectInstallPackages(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip == UpdateRun::kSkipAll) {
        return;
    }
    const int n = c.selectPackageInfoAtCiid(run.target.command_info_id, run.installs);
    if (n < 0) {
        ZLOG_W(log_, "[{}:{}] ===== <3> get install package : select error -> {}", n);
        run.fail(UpdateRun::kSkipInstall,
                 "<3> : select install package error -> " + std::to_string(n));
    } else if (n == 0) {
        ZLOG_I(log_, "[{}:{}] ===== <3> get install package : no have install package");
    } else {
        ZLOG_I(log_, "[{}:{}] ===== <3> get install package : install package num -> {}", n);
        for (const auto& p : run.installs) {
            ZLOG_I(log_,
                   "[{}:{}]           : [install package] : package_info.id -> {} : "
                   "command_info_id -> {} : package name -> {}",
                   p.id, p.command_info_id, p.package_name);
        }
    }
}

namespace {
// Result texts of step <4> by the look-up's code (k below 0 or not the package count).
std::string oldVersionError(int k, int count) {
    if (k > 0) {
        return "<4> get now installed package : Pakcage num does not match the old package : "
               "install num -> " +
               std::to_string(count) + " : old package num -> " + std::to_string(k);
    }
    switch (k) {
        case 0:
            return "<4> Old package is found, but not match";
        case -1:
            return "<4> Error executing external command to get old package list";
        case -2:
        case -3:
            return "<4> Error in execution command generation";
        case -4:
            return "<4> Old package not found";
        default:
            return "";
    }
}
}  // namespace

void cee_upd::lookUpOldVersions(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip != UpdateRun::kSkipNone) {
        return;
    }
    if (run.emergency && run.installs.empty()) {
        // An emergency update may only cancel: nothing to look up, record or install.
        ZLOG_I(log_, "[{}:{}] ===== <4> get now installed package : skipped : nothing to install");
        return;
    }
    std::vector<db::data::PackageInfoData> found = run.installs;
    const int k = searchOldPackageVersion(found);
    const int count = static_cast<int>(found.size());
    if (k != count) {
        const std::string text = oldVersionError(k, count);
        if (k > 0) {
            ZLOG_W(log_,
                   "[{}:{}] ===== <4> get now installed package : Pakcage num does not match the "
                   "old package : install num -> {} : old package num -> {}",
                   count, k);
        } else if (!text.empty()) {
            ZLOG_W(log_, "[{}:{}] ===== <4> get now installed package : {} -> {}", text.substr(4),
                   k);
        }
        run.fail(UpdateRun::kSkipInstall, text.empty() ? run.resultText : text);
        return;
    }
    // The version from before the first attempt stays the old one: a retry, a repeated order
    // or a settled attempt finds packages already at the new version.
    std::vector<db::data::PackageInfoData> record;
    for (size_t i = 0; i < found.size(); ++i) {
        auto& p = run.installs[i];
        if (!p.old_package_filename.empty()) {
            continue;
        }
        std::string old = found[i].old_package_filename;
        if (old == p.package_filename) {
            old = c.selectEarlierOldPackage(p);
        }
        if (!old.empty()) {
            p.old_package_filename = old;
            record.push_back(p);
        }
    }
    const int n =
        zorcommon::inWriteTransaction(c.getDb(), [&] { return c.updateOldPackageInfo(record); });
    if (n < 0) {
        ZLOG_W(log_, "[{}:{}] ===== <5> udapte db : update old package info error -> {}", n);
        run.fail(UpdateRun::kSkipInstall, "<5> : update old package info error");
    } else if (n == 0) {
        ZLOG_I(log_, "[{}:{}] ===== <5> udapte db : No update target(s). (old package info)");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <5> udapte db : find update targets : proc_info.id -> {} : "
               "command_info.id -> {} : update type -> {}",
               run.target.proc_info_id, run.target.command_info_id, run.label);
    }
}

void cee_upd::selectCancelPackages(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip == UpdateRun::kSkipAll || (!run.emergency && run.skip != UpdateRun::kSkipNone)) {
        return;
    }
    auto targets = run.executed;
    targets.insert(targets.end(), run.pending.begin(), run.pending.end());
    targets.insert(targets.end(), run.failed.begin(), run.failed.end());
    std::vector<db::data::PackageInfoData> packages;
    const int n = c.selectCancelPackageInfo(targets, packages);
    if (n < 0) {
        ZLOG_W(log_, "[{}:{}] ===== <6> get cancel package : select cancel package error -> {}", n);
        run.fail(UpdateRun::kSkipAll, "<6> : select cancel package error -> " + std::to_string(n));
        return;
    }
    // Only what is not at its old version already goes back: the packages that an update
    // changed (a failed one's too), and none a settled re-install has already put back.
    std::vector<std::string> names, installed;
    for (const auto& p : packages) {
        names.push_back(p.package_name);
    }
    if (!names.empty()) {
        installedFiles(names, installed);
    }
    std::set<std::string> listed;  // one line per package, also when two orders name it
    for (const auto& p : packages) {
        if (!p.old_package_filename.empty() &&
            std::find(installed.begin(), installed.end(), p.old_package_filename) ==
                installed.end() &&
            listed.insert(p.package_name).second) {
            run.cancels.push_back(p);
        }
    }
    if (run.cancels.empty()) {
        ZLOG_I(log_,
               "[{}:{}] ===== <6> get cancel package : No re-install target(s). (cancel "
               "package)");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <6> get cancel package : find cancel package targets : "
               "re-install(cancel) package num -> {}",
               run.cancels.size());
    }
}

void cee_upd::checkBattery(UpdateRun& run) {
    // The battery is asked before any battery firmware is put in place, a re-install by cancel
    // included, and even for a run that already failed: an update that carries battery
    // firmware must never look installable while the battery does not answer.
    std::vector<std::string> files;
    for (const auto& p : run.installs) {
        files.push_back(p.package_filename);
    }
    for (const auto& p : run.cancels) {
        files.push_back(p.old_package_filename);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const int r = storageBatteryConnectionCheck(files[i]);
        if (r == 0) {
            continue;
        }
        if (r == 1) {
            ZLOG_I(log_, "[{}:{}] ===== <6.5> Storage battery connection check : SUCCESS : {}",
                   files[i]);
        } else {
            ZLOG_W(log_, "[{}:{}] ===== <6.5> Storage battery connection check : FAILED");
            const bool reinstall = i >= run.installs.size();
            run.fail(reinstall ? UpdateRun::kSkipAll : UpdateRun::kSkipInstall,
                     "<6.5> Storage battery connection check : FAILED");
        }
        break;
    }
}

void cee_upd::cancelPending(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip == UpdateRun::kSkipAll) {
        return;
    }
    if (run.pending.empty()) {
        ZLOG_I(log_,
               "[{}:{}] ===== <7> cancel pending updates : do nothing : cancel not execute list "
               "num -> {}",
               run.pending.size());
        return;
    }
    // Committed on its own: a run cancelled before it started needs no outside program and
    // stays cancelled whatever happens to the re-install.
    const int n = zorcommon::inWriteTransaction(
        c.getDb(), [&] { return c.updateCancelNotExecProcInfo(run.pending); });
    if (n < 0) {
        ZLOG_W(log_,
               "[{}:{}] ===== <7> cancel pending updates : update cancel not execute proc info "
               "error -> {} : not executed cancel proc_info num -> {}",
               n, run.pending.size());
        run.fail(UpdateRun::kSkipAll, "<7> : select cancel package error -> " + std::to_string(n));
    } else if (n == 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <7> cancel pending updates : No update target(s). (cancel not "
               "execute proc info)");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <7> cancel pending updates : find update targets (cancel not "
               "execute proc info) : update num -> {}",
               n);
    }
}

int cee_upd::reinstallCancelled(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip == UpdateRun::kSkipAll) {
        return 0;
    }
    std::string list;
    if (!writeReinstallList(run, list)) {
        return 0;
    }
    if (list.empty()) {
        ZLOG_I(log_, "[{}:{}] ===== <9> execute cancel : do nothing : cancel target is none");
    } else {
        const int r = executeReinstall(c, run, list);
        if (r != 0 || run.skip == UpdateRun::kSkipAll) {
            return r;
        }
    }
    recordCancelled(c, run);
    noteSignal();
    return 0;
}

bool cee_upd::writeReinstallList(UpdateRun& run, std::string& list) {
    if (run.cancels.empty()) {
        ZLOG_I(log_,
               "[{}:{}] ===== <8> create cancel package list : do nothing : cancel package list "
               "num -> {}",
               run.cancels.size());
        return true;
    }
    list = writePackageList(kReinstall, run.startTime, setting_->getStringValue("LIST_FILE_PATH"),
                            setting_->getStringValue("LIST_PRE_NAME"), run.cancels);
    if (list.empty()) {
        ZLOG_W(log_,
               "[{}:{}] ===== <8> create cancel package list : create cancel package list file "
               "error");
        run.fail(UpdateRun::kSkipAll,
                 "<8> create cancel package list : create cancel package list file error");
        return false;
    }
    ZLOG_I(log_,
           "[{}:{}] ===== <8> create cancel package list : create cancel package list file -> {}",
           list);
    return true;
}

int cee_upd::executeReinstall(db::DbUpdController& c, UpdateRun& run, const std::string& list) {
    AttemptSpec spec;
    spec.kind = kReinstall;
    spec.journalKind = zorcommon::kAttemptReinstall;
    spec.list = list;
    for (const auto& p : run.cancels) {
        spec.files.push_back(p.old_package_filename);
    }
    if (runAttempt(c, run, spec) != 0) {
        return kAttemptNotRecorded;
    }
    const int code = spec.code;
    if (code == 0) {
        ZLOG_I(log_, "[{}:{}] ===== <9> execute cancel : re-install success");
    } else if (code > 0) {
        // Counted like a failed install: the cancelled updates stay as they are, the run is
        // recorded as failed and retried.
        ZLOG_I(log_, "[{}:{}] ===== <9> execute cancel : re-install(cancel) execution failed -> {}",
               code);
        run.resultText = "<9> : re-install(cancel) execution failed -> " + std::to_string(code);
        run.skip = UpdateRun::kSkipAll;
    } else {
        ZLOG_W(log_, "[{}:{}] ===== <9> execute cancel : re-install(cancel) execution error -> {}",
               code);
        run.fail(UpdateRun::kSkipAll,
                 "<9> : re-install(cancel) execution error -> " + std::to_string(code));
    }
    return 0;
}

void cee_upd::recordCancelled(db::DbUpdController& c, UpdateRun& run) {
    // Installed updates, and failed ones whose changed packages went back, are cancelled.
    auto done = run.executed;
    for (const auto& t : run.failed) {
        if (std::any_of(run.cancels.begin(), run.cancels.end(),
                        [&t](const auto& p) { return p.command_info_id == t.command_info_id; })) {
            done.push_back(t);
        }
    }
    const int n = zorcommon::inWriteTransaction(
        c.getDb(), [&] { return c.updateCancelSuccessProcInfo(done); });
    if (n < 0) {
        ZLOG_W(log_,
               "[{}:{}] ===== <10> update db for cancel : update re-install(success) proc info "
               "error -> {}",
               n);
        run.fail(UpdateRun::kSkipAll,
                 "<10> : update re-install(success) proc info error -> " + std::to_string(n));
    } else if (n == 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <10> update db for cancel : No re-install target(s). "
               "(cancel(success) proc info)");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <10> update db for cancel : find re-install targets : proc_info.id "
               "-> {} : command_info.id -> {} : update type -> {}",
               run.target.proc_info_id, run.target.command_info_id, run.label);
    }
}

int cee_upd::install(db::DbUpdController& c, UpdateRun& run) {
    if (run.skip == UpdateRun::kSkipNone && run.emergency && run.installs.empty()) {
        ZLOG_I(log_,
               "[{}:{}] ===== <11> create install package list : not create install package list "
               "file : no have install package");
        ZLOG_I(log_, "[{}:{}] ===== <12> execute update : skipped : nothing to install");
        run.installResult = 0;
    }
    if (run.skip != UpdateRun::kSkipNone || run.installResult == 0) {
        return 0;
    }
    const std::string list =
        writePackageList(kInstall, run.startTime, setting_->getStringValue("LIST_FILE_PATH"),
                         setting_->getStringValue("LIST_PRE_NAME"), run.installs);
    if (list.empty()) {
        ZLOG_W(log_,
               "[{}:{}] ===== <11> create install package list : create install package list file "
               "error");
        run.fail(UpdateRun::kSkipInstall, "<11> : create install package list file error");
        return 0;
    }
    ZLOG_I(log_,
           "[{}:{}] ===== <11> create install package list : create install package list file -> "
           "{}",
           list);
    return executeInstall(c, run, list);
}

int cee_upd::executeInstall(db::DbUpdController& c, UpdateRun& run, const std::string& list) {
    AttemptSpec spec;
    spec.kind = kInstall;
    spec.journalKind = zorcommon::kAttemptInstall;
    spec.list = list;
    for (const auto& p : run.installs) {
        spec.files.push_back(p.package_filename);
    }
    if (run.baselineTaken) {
        run.health.proc_info_id = run.target.proc_info_id;
        spec.withAttempt = [&run](sqlite3* db) {
            return zorcommon::ensureHealthTable(db) &&
                   zorcommon::insertHealthRecord(db, run.health);
        };
    }
    if (runAttempt(c, run, spec) != 0) {
        return kAttemptNotRecorded;
    }
    const int e = spec.code;
    if (e == 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <12> execute update : UPDATE SUCCESS : execUpdate : install "
               "success");
        run.installResult = 0;
    } else if (e > 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <12> execute update : UPDATE FAILED : execUpdate : install execution "
               "failed -> {}",
               e);
        run.resultText = "<12> execute update : UPDATE FAILED : install execution failed -> " +
                         std::to_string(e);
    } else {
        ZLOG_W(log_,
               "[{}:{}] ===== <12> execute update : UPDATE FAILED: execUpdate : install execution "
               "error -> {}",
               e);
        run.resultText = "<12> : UPDATE FAILED : install execution error -> " + std::to_string(e);
    }
    noteSignal();
    return 0;
}

int cee_upd::runAttempt(db::DbUpdController& c, UpdateRun& run, AttemptSpec& spec) {
    zorcommon::InstallAttempt attempt;
    attempt.proc_info_id = run.target.proc_info_id;
    attempt.command_info_id = run.target.command_info_id;
    attempt.kind = spec.journalKind;
    attempt.files = spec.files;
    if (zorcommon::inWriteTransaction(c.getDb(), [&] {
            attempt.id = zorcommon::insertAttempt(c.getDb(), attempt);
            return attempt.id < 0 || (spec.withAttempt && !spec.withAttempt(c.getDb())) ? -1 : 0;
        }) < 0) {
        ZLOG_W(log_,
               "[{}:{}] install journal : attempt not recorded : package updater not started : {}",
               sqlite3_errmsg(c.getDb()));
        if (run.resultText.empty()) {
            run.resultText = "install journal : attempt not recorded";
        }
        return kAttemptNotRecorded;
    }
    spec.code = execPkgDownloadAndInstall(spec.kind, run.startTime, spec.list);
    spec.outcome = attemptOutcomeNow(spec.files);
    // The outcome of an install goes into the transaction of the run's result; that of a
    // re-install is committed at once, as the re-install's own record.
    if (!beginOutcome(c, run) ||
        !zorcommon::updateAttemptOutcome(c.getDb(), attempt.id, spec.outcome, spec.code)) {
        // Settled from the package manager at the next start.
        run.resultText = "install journal : outcome not recorded";
        return kAttemptNotRecorded;
    }
    if (spec.journalKind == zorcommon::kAttemptInstall) {
        return 0;
    }
    const bool committed = run.outcome->commit();
    run.outcome.reset();
    if (!committed) {
        // Settled from the package manager at the next start.
        run.resultText = "install journal : re-install outcome not recorded";
        return kAttemptNotRecorded;
    }
    return 0;
}

int cee_upd::attemptOutcomeNow(const std::vector<std::string>& files) {
    std::vector<std::string> names, installed;
    for (const auto& f : files) {
        names.push_back(f.substr(0, f.find('_')));
    }
    installedFiles(names, installed);  // (nothing found when the query fails)
    return zorcommon::attemptOutcome(files, installed);
}

int cee_upd::settleOpenAttempt(db::DbUpdController& c, UpdateRun& run) {
    zorcommon::InstallAttempt attempt;
    if (!zorcommon::ensureInstallJournal(c.getDb()) ||
        zorcommon::selectOpenAttempt(c.getDb(), attempt) <= 0 ||
        attempt.kind == zorcommon::kAttemptRollback) {
        // (An unreadable database shows in the due-run query; a roll-back is settled by the
        // verification of its run.)
        return -1;
    }
    const int outcome = attemptOutcomeNow(attempt.files);
    ZLOG_W(log_, "[{}:{}] ===== interrupted attempt : proc_info.id -> {} : {} begun {} : found {}",
           attempt.proc_info_id, attempt.kind == kReinstall ? "re-install(cancel)" : "install",
           attempt.begin_time, zorcommon::attemptOutcomeText(outcome));
    if (attempt.kind == kReinstall) {
        if (zorcommon::inWriteTransaction(c.getDb(), [&] {
                return zorcommon::updateAttemptOutcome(c.getDb(), attempt.id, outcome, -1) ? 0 : -1;
            }) < 0) {
            run.resultText = "install journal : interrupted re-install not settled";
            return kAttemptNotRecorded;
        }
        return -1;  // the run goes on: what is back already is not re-installed again
    }
    run.target = c.selectRunById(attempt.proc_info_id);
    run.commandId = run.target.command_id;
    run.label = updateTypeLabel(run.target.command_type);
    run.startText = attempt.begin_time;
    if (!beginOutcome(c, run) ||
        !zorcommon::updateAttemptOutcome(c.getDb(), attempt.id, outcome, -1)) {
        return kAttemptNotRecorded;
    }
    if (outcome == zorcommon::kOutcomeInstalled) {
        run.installResult = 0;
        if (zorcommon::hasHealthTable(c.getDb()) &&
            zorcommon::selectHealthRecord(c.getDb(), attempt.proc_info_id, run.health) == 1) {
            run.baselineTaken = true;
        }
    } else {
        run.resultText =
            std::string("<12> execute update : UPDATE FAILED : install interrupted : ") +
            zorcommon::attemptOutcomeText(outcome);
    }
    return recordOutcome(c, run);
}

bool cee_upd::beginOutcome(db::DbUpdController& c, UpdateRun& run) {
    if (!run.outcome) {
        run.outcome = std::make_unique<zorcommon::WriteTransaction>(c.getDb());
    }
    return run.outcome->began();
}

int cee_upd::recordOutcome(db::DbUpdController& c, UpdateRun& run) {
    const int status = run.installResult == 0 ? zorcommon::kRunInstalled : zorcommon::kRunFailed;
    const std::string outcome = run.installResult == 0 ? "SUCCESS" : "FAILED";
    // An aborted run's reason goes only to the log and the failure result file.
    const int n = !beginOutcome(c, run)
                      ? -1
                      : c.updateResultProcInfo(run.target.proc_info_id, status,
                                               run.aborted ? "" : run.resultText, run.startText,
                                               utcText(std::time(nullptr)));
    if (n < 0) {
        ZLOG_W(log_,
               "[{}:{}] ===== <13> update result to db : UPDATE {} : execUpdate : update "
               "proc_info.result error -> {}",
               outcome, n);
        if (run.resultText.empty()) {
            run.resultText = "<13> update result to db : UPDATE " + outcome +
                             " : install {} : update proc_info.result error -> " +
                             std::to_string(n);
        }
        return 13;
    }
    if (n == 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <13> update result to db : UPDATE  : execUpdate : No update "
               "proc_info.result.");
    } else {
        ZLOG_I(log_,
               "[{}:{}] ===== <13> update result to db : UPDATE {} : execUpdate : update success "
               ": proc_info.id -> {} : result -> {}",
               outcome, run.target.proc_info_id, status);
    }
    return status == zorcommon::kRunInstalled ? 0 : recordRetry(c, run, outcome);
}

int cee_upd::recordRetry(db::DbUpdController& c, UpdateRun& run, const std::string& outcome) {
    std::string& text = run.resultText;
    const int m = c.selectNextProcNum(run.target.command_info_id, retrySetting("UPD_RETRY_NUM"));
    if (m == -1 || m == -3) {
        // A stored count that cannot be read counts as used up: never an unbounded repeat.
        const std::string why = m == -3 ? " : retry count is not a number of 0 or more" : "";
        if (m == -3) {
            ZLOG_W(log_,
                   "[{}:{}] ===== <97> update failed : UPDATE {} : execUpdate : retry count is not "
                   "usable : No insert next schedule proc_info.",
                   outcome);
        } else {
            ZLOG_I(log_,
                   "[{}:{}] ===== <97> update failed : UPDATE {} : execUpdate : No insert next "
                   "schedule proc_info.",
                   outcome);
        }
        text = text.empty()
                   ? "<97> : UPDATE " + outcome +
                         " : Finish retrying update execution : Maximum number of retries" + why
                   : text + " | <97> : Maximum number of retries" + why;
        return 97;
    }
    if (m < -1) {
        ZLOG_W(log_,
               "[{}:{}] ===== <14> update failed : UPDATE {} : execUpdate : select next schedule "
               "execution num error -> {}",
               outcome, m);
        if (text.empty()) {
            text = "<14> update failed : UPDATE " + outcome +
                   " : select next schedule execution num error -> " + std::to_string(m);
        }
        return 14;
    }
    ZLOG_I(log_,
           "[{}:{}] ===== <99> update failed : UPDATE {} : execUpdate : update success : next "
           "schedule command_info.id -> {}",
           outcome, run.target.command_info_id);
    if (text.empty()) {
        text = "<99> : UPDATE " + outcome + " : update re-scheduled";
    }
    const int k =
        c.insertNextProcInfo(run.target.command_info_id, retrySetting("UPD_RETRY_INTERVAL"));
    if (k > 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <99> schedule next run : UPDATE {} : execUpdate : update success : "
               "next schedule command_info.id -> {}",
               outcome, run.target.command_info_id);
        return 99;
    }
    ZLOG_W(log_,
           "[{}:{}] ===== <15> schedule next run : UPDATE {} : execUpdate : insert next schedule "
           "proc_info error -> {}",
           outcome, k);
    if (text.empty()) {
        text = "<15> schedule next run : UPDATE " + outcome +
               " : insert next schedule proc_info error -> " + std::to_string(k);
    }
    return 15;
}

std::string cee_upd::makePackageQuery(const std::vector<std::string>& names) const {
    std::string word;
    for (size_t i = 0; i < names.size(); ++i) {
        word += (i > 0 ? "|" : "") + quotePackageName(names[i]);
    }
    if (word.empty()) {
        return "";
    }
    std::string command = pkgQueryTemplate_;
    command.replace(command.find(pkgGrepWord_), pkgGrepWord_.size(), word);
    return command;
}

namespace {
// "name:arch_1:2.0-1_armhf.deb" as a package file is named: "name_2.0-1_armhf.deb". Empty
// when the entry is not of the form name_version_arch.deb.
std::string packageFileOf(const std::string& entry) {
    const auto first = entry.find('_');
    const auto last = entry.rfind('_');
    if (first == std::string::npos || first == last) {
        return "";
    }
    const std::string name = entry.substr(0, std::min(entry.find(':'), first));
    std::string version = entry.substr(first + 1, last - first - 1);
    const auto colon = version.find(':');
    if (colon != std::string::npos &&
        version.find_first_not_of("0123456789") == colon) {  // the epoch
        version.erase(0, colon + 1);
    }
    return name + "_" + version + entry.substr(last);
}
}  // namespace

int cee_upd::installedFiles(const std::vector<std::string>& names,
                            std::vector<std::string>& files) {
    if (pkgQueryTemplate_.find(pkgGrepWord_) == std::string::npos) {
        return -3;
    }
    const std::string command = makePackageQuery(names);
    if (command.empty()) {
        return -2;
    }
    std::vector<std::string> entries;
    const int n = execCmdLines(command, entries);
    if (n < 0) {
        return n;
    }
    if (n == 0) {
        return -4;
    }
    // The query's entries carry no state: the packages in an installed state (ii, or hi for a
    // held one) come from a second listing, so that a removed package (configuration files
    // only) is not taken.
    std::vector<std::string> installedLines;
    if (execCmdLines(kInstalledQuery, installedLines) < 0) {
        return -1;
    }
    std::set<std::string> installed;
    for (const auto& line : installedLines) {
        const std::string name = line.substr(0, line.find_first_of("\r\n"));
        installed.insert(name.substr(0, name.find(':')));
    }
    for (const auto& entry : entries) {
        const std::string file = packageFileOf(entry.substr(0, entry.find_first_of("\r\n")));
        if (!file.empty() && installed.count(file.substr(0, file.find('_'))) > 0) {
            files.push_back(file);
        }
    }
    return n;
}

int cee_upd::searchOldPackageVersion(std::vector<db::data::PackageInfoData>& packages) {
    std::vector<std::string> names, files;
    for (const auto& p : packages) {
        names.push_back(p.package_name);
    }
    const int n = installedFiles(names, files);
    if (n < 0) {
        return n;
    }
    int found = 0;
    for (auto& package : packages) {
        // The whole name: "abc" is not installed in the form of "abc-tools_2.0_armhf.deb".
        const std::string head = package.package_name + "_";
        const auto it = std::find_if(files.begin(), files.end(), [&head](const std::string& f) {
            return f.rfind(head, 0) == 0;
        });
        if (it == files.end()) {
            ZLOG_W(log_, "[{}:{}]     search old package version: not found!");
            continue;
        }
        package.old_package_filename = *it;
        ZLOG_W(log_, "[{}:{}]     search old package version: found : old -> {} : new -> {}",
               package.old_package_filename, package.package_filename);
        ++found;
    }
    return found;
}

std::string cee_upd::writePackageList(int kind, std::time_t startTime, const std::string& listDir,
                                      const std::string& prefix,
                                      const std::vector<db::data::PackageInfoData>& packages) {
    const char* label = updateTypeLabel(kind);
    const std::string pkgDir = setting_->getStringValue("PKG_DIR");
    const std::string timeText = fileTimeText(startTime);
    int rc = zorcommon::makeDirectories(pkgDir);
    if (rc != 0) {
        ZLOG_E(log_,
               "[{}:{}] in writePackageList error ({}) : failed to create directory (package "
               "file) ({}) -> {}",
               label, pkgDir, rc);
        zorcommon::flushLog(log_);
        return "";
    }
    rc = zorcommon::makeDirectories(listDir);
    if (rc != 0) {
        ZLOG_E(log_,
               "[{}:{}] in writePackageList error ({}) : failed to create directory (list file) "
               "({}) -> {}",
               label, listDir, rc);
        zorcommon::flushLog(log_);
        return "";
    }
    const std::string path = listDir + "/" + prefix + timeText;
    int lines = 0;
    std::ostringstream out;
    out << "###################\n"
        << "# " << (kind == kReinstall ? "re-install(cancel)" : "update") << " package list\n"
        << "#   create date: " << timeText << "\n"
        << "#\n";
    for (const auto& p : packages) {
        const std::string& file = kind == kReinstall ? p.old_package_filename : p.package_filename;
        if (kind == kReinstall && file.empty()) {
            continue;  // nothing was installed before that update
        }
        out << p.command_info_id << " " << pkgDir << " " << p.package_path << " " << file << "\n";
        ++lines;
    }
    // Written beside and renamed into place: a link planted at the name is replaced, never
    // followed.
    if (!zorcommon::replaceFile(path, out.str())) {
        ZLOG_E(log_, "[{}:{}] in writePackageList error ({}) : failed to open file ({})", label,
               path);
        zorcommon::flushLog(log_);
        return "";
    }
    if (lines == 0) {
        ZLOG_W(log_,
               "[{}:{}] in writePackageList warning ({}) : no packages to cancel : remove cancel "
               "list file ({})",
               label, path);
        zorcommon::flushLog(log_);
        std::remove(path.c_str());
        return kNoData;
    }
    return path;
}

int cee_upd::execPkgDownloadAndInstall(int kind, std::time_t startTime,
                                       const std::string& listFile) {
    const char* label = updateTypeLabel(kind);
    const std::string dir = setting_->getStringValue("UPDATE_LOG_DIR");
    const std::string name = setting_->getStringValue(kind == kReinstall ? "CANCEL_LOG_PRE_NAME"
                                                                         : "UPDATE_LOG_PRE_NAME") +
                             "_" + fileTimeText(startTime);
    const int rc = zorcommon::makeDirectories(dir);
    if (rc != 0) {
        ZLOG_E(log_,
               "[{}:{}] in execPkgDownloadAndInstall error ({}) : failed to create directory "
               "(package file) ({}) -> {}",
               label, dir, rc);
        zorcommon::flushLog(log_);
        return -1;
    }
    const std::string command = setting_->getStringValue("UPDATE_CMD_LINE") + " " + listFile +
                                " > " + dir + "/" + name + " 2>&1";
    // The shell's redirection follows links: the output file is made fresh first, so that it
    // opens our own regular file.
    const int s = zorcommon::createFreshFile(dir + "/" + name) ? execCmdStatus(command) : -1;
    if (s < 0) {
        ZLOG_E(log_,
               "[{}:{}] in execPkgDownloadAndInstall error ({}) : update execution failed -> {} : "
               "command -> {}",
               label, s, command);
    } else if (s == 0) {
        ZLOG_I(log_, "[{}:{}] in execPkgDownloadAndInstall ({}) : update execution success -> {}",
               label, s);
    } else {
        ZLOG_W(log_,
               "[{}:{}] in execPkgDownloadAndInstall failed ({}) : update execution resutlt -> {} "
               ": command -> {}",
               label, s, command);
    }
    zorcommon::flushLog(log_);
    return s;
}

void cee_upd::removeSuccessFile() {
    const std::string path =
        setting_->getStringValue("RESULT_DIR") + "/" + setting_->getStringValue("RESULT_FILE");
    std::remove(path.c_str());
}

int cee_upd::createResultFile(int code, int commandId, const std::string& resultText,
                              const std::string& note) {
    const std::string dir = setting_->getStringValue("RESULT_DIR");
    const bool dirOk = zorcommon::makeDirectories(dir) == 0;
    const std::string failPath = dir + "/" + setting_->getStringValue("RESULT_FAIL_FILE");
    std::remove(failPath.c_str());
    // Written beside and renamed into place: the folder may be writable by others, and a link
    // planted at the name must be replaced, never followed.
    if (code == 0) {
        const std::string path = dir + "/" + setting_->getStringValue("RESULT_FILE");
        const std::string text =
            "update\n" + std::to_string(commandId) + "\n" + (note.empty() ? "" : note + "\n");
        if (!zorcommon::replaceFile(path, text)) {
            ZLOG_E(log_, "[{}:{}] in createResultFile error ({}) : failed to open file", path);
            zorcommon::flushLog(log_);
            return -1;
        }
        ZLOG_I(log_,
               "[{}:{}] in createResultFile : create update result file ({}) : update result -> "
               "{} : command_id -> {}",
               path, dirOk ? "success" : "failed", commandId);
        return 0;
    }
    std::string text = std::to_string(commandId) + "\n";
    if (!resultText.empty()) {
        text += resultText + "\n";
    }
    if (!zorcommon::replaceFile(failPath, text)) {
        ZLOG_E(log_, "[{}:{}] in createResultFile error ({}) : failed to open file", failPath);
        zorcommon::flushLog(log_);
        return -2;
    }
    ZLOG_I(log_, "[{}:{}] in createResultFile : create failed file ({}) : command_id -> {}",
           failPath, commandId);
    return 0;
}

int cee_upd::runFinishCommand() {
    const std::string command = "/bin/bash " + setting_->getStringValue("REBOOT_COMMAND") + " &";
    return std::system(command.c_str());
}

int cee_upd::storageBatteryConnectionCheck(const std::string& packageFilename) {
    if (packageFilename.find(setting_->getStringValue("PKG_FOR_CONN_CHK")) == std::string::npos) {
        return 0;
    }
    ZLOG_I(log_, "[{}:{}] in storageBatteryConnectionCheck : package_filename -> {}",
           packageFilename);
    const std::string request = createConnectionCheckXml();
    if (request.empty()) {
        return -1;
    }
    ZLOG_I(log_, "[{}:{}] in storageBatteryConnectionCheck : connection check xml data -> {}",
           request);
    const std::string url = setting_->getStringValue("URL");
    std::string answer;
    const int r = sendHttpPost(url, request, answer);
    ZLOG_I(log_,
           "[{}:{}] in storageBatteryConnectionCheck : HTTP POST -> {} {} ({}) : receive message "
           "-> {}",
           url, r == 0 ? "success" : "failed", r, answer);
    zorcommon::flushLog(log_);
    return checkReceiveData(answer);
}

std::string cee_upd::createConnectionCheckXml() {
    std::string maker;
    std::string serial;
    if (getStorageBatteryInfo(maker, serial) < 0) {
        return "";
    }
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    auto* root = doc.NewElement("commandRequest");
    root->SetAttribute("id", "0");
    doc.InsertEndChild(root);
    auto* command = doc.NewElement("command");
    command->SetText("ReadFromEchonetDevice");
    root->InsertEndChild(command);
    auto* data = doc.NewElement("requestData");
    root->InsertEndChild(data);
    const std::pair<const char*, std::string> params[] = {
        {"1", "0x7D"}, {"2", maker}, {"3", serial}, {"4", "0x80"}};
    for (const auto& param : params) {
        auto* p = doc.NewElement("p");
        p->SetAttribute("x", param.first);
        p->SetText(param.second.c_str());
        data->InsertEndChild(p);
    }
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

int cee_upd::getStorageBatteryInfo(std::string& maker, std::string& serial) {
    using tinyxml2::XMLElement;
    auto missing = [this](const char* name) {
        ZLOG_W(log_, "[{}:{}] in getStorageBatteryInfo : not found element ({})", name);
        zorcommon::flushLog(log_);
        return -1;
    };
    // An element that is there but has no text cannot be read.
    auto textOf = [](const XMLElement* e) {
        const char* text = e->GetText();
        if (text == nullptr) {
            throw std::runtime_error("element without text");
        }
        return std::string(text);
    };
    try {
        tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
        std::string xml;
        if (zorcommon::readBoundedFile(setting_->getStringValue("SYSTEM_SETTING_XML_FILE"),
                                       zorcommon::kMaxXmlFileBytes, false,
                                       xml) == zorcommon::ReadFileResult::Ok) {
            doc.Parse(xml.data(), xml.size());
        }
        const XMLElement* logger = doc.FirstChildElement("logger");
        if (logger == nullptr) {
            ZLOG_W(log_, "[{}:{}] in getStorageBatteryInfo : load error : not found element {}",
                   "logger");
            zorcommon::flushLog(log_);
            return -1;
        }
        const XMLElement* node = logger;
        for (const char* name :
             {"deviceList", "storageBatteryDeviceList", "storageBatteryDevice"}) {
            node = node->FirstChildElement(name);
            if (node == nullptr) {
                return missing(name);
            }
        }
        const XMLElement* device = node;
        const XMLElement* serialElement = device->FirstChildElement("serialNumber");
        if (serialElement == nullptr) {
            return missing("serialNumber");
        }
        const std::string serialText = textOf(serialElement);
        const XMLElement* addressElement = device->FirstChildElement("communicationAddress");
        if (addressElement == nullptr) {
            return missing("communicationAddress");
        }
        const std::string address = textOf(addressElement);
        ZLOG_I(log_, "[{}:{}] in getStorageBatteryInfo : communication address->{}", address);
        zorcommon::flushLog(log_);
        const XMLElement* channels = logger->FirstChildElement("channelList");
        if (channels == nullptr) {
            return missing("channelList");
        }
        bool found = false;
        std::string makerText;
        for (const XMLElement* channel = channels->FirstChildElement("channel"); channel != nullptr;
             channel = channel->NextSiblingElement("channel")) {
            const XMLElement* list = channel->FirstChildElement("addressList");
            if (list == nullptr) {
                continue;
            }
            for (const XMLElement* a = list->FirstChildElement("address"); a != nullptr;
                 a = a->NextSiblingElement("address")) {
                const char* no = a->Attribute("no");
                const XMLElement* manufacturer = a->FirstChildElement("manufacturer");
                if (no != nullptr && address == no && manufacturer != nullptr) {
                    makerText = textOf(manufacturer);  // the last match wins
                    found = true;
                }
            }
        }
        if (!found) {
            ZLOG_W(log_, "[{}:{}] in getStorageBatteryInfo : not found Storage battery info");
            zorcommon::flushLog(log_);
            return -1;
        }
        maker = makerText;
        serial = serialText;
        ZLOG_I(log_, "[{}:{}] in getStorageBatteryInfo : Maker code->{} : Serial->{}", maker,
               serial);
        zorcommon::flushLog(log_);
        return 0;
    } catch (const std::exception&) {
        ZLOG_W(log_, "[{}:{}] in getStorageBatteryInfo : SystemSetting.xml analize error");
        zorcommon::flushLog(log_);
        return -1;
    }
}

int cee_upd::sendHttpPost(const std::string& url, const std::string& text, std::string& answer) {
    const int r = manager_ != nullptr ? manager_->httpSendPost(url, text, answer) : -1;
    ZLOG_I(log_, "[{}:{}] in sendHttpPost : Publish finish -> {}: receive message -> {}", r,
           answer);
    return r;
}

int cee_upd::checkReceiveData(const std::string& answer) {
    using tinyxml2::XMLElement;
    auto missing = [this](const char* name) {
        ZLOG_W(log_, "[{}:{}] in checkReceiveData : not found element -> {}", name);
        zorcommon::flushLog(log_);
        return -1;
    };
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    doc.Parse(answer.c_str(), answer.size());
    const XMLElement* root = doc.FirstChildElement("commandResponse");
    if (root == nullptr) {
        return missing("commandResponse");
    }
    const XMLElement* status = root->FirstChildElement("status");
    if (status == nullptr) {
        return missing("status");
    }
    const char* statusText = status->GetText();
    ZLOG_I(log_, "[{}:{}] in checkReceiveData : status -> {}", statusText ? statusText : "");
    zorcommon::flushLog(log_);
    if (statusText == nullptr || std::string(statusText) != "SUCCESS") {
        return -1;
    }
    const XMLElement* data = root->FirstChildElement("responseData");
    if (data == nullptr) {
        return missing("responseData");
    }
    for (const XMLElement* p = data->FirstChildElement("p"); p != nullptr;
         p = p->NextSiblingElement("p")) {
        const char* text = p->GetText();
        if (text == nullptr) {
            ZLOG_W(log_, "[{}:{}] in checkReceiveData : EPC data is empty");
            zorcommon::flushLog(log_);
            continue;
        }
        if (std::string(text) == "0x30" || std::string(text) == "0x31") {
            ZLOG_I(log_, "[{}:{}] in checkReceiveData : EPC is OK");
            zorcommon::flushLog(log_);
            return 1;
        }
    }
    return -1;
}

}  // namespace zorupd
