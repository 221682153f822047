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

namespace zorupd {

namespace {
const char* const kSeparator = "===========================================";

std::atomic<int> lastSignalNumber{0};
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
    // Only HTTP is used afterwards: a broker that cannot be reached does not stop the run.
    manager->initConn();
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
    : setting_(data::SettingData::getInstance()), log_(logger()), manager_(manager) {}

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
    noteSignal();

    std::string resultText;
    int commandId = 0;
    // Without a transaction the run still goes on; then there is nothing to end either.
    const bool began = controller.beginTransaction();
    const int r = execUpdate(controller, commandId, resultText);
    noteSignal();

    zorcommon::logPlain(log_, "<<<<<--------------------------");
    bool commit = false;
    bool resultFile = true;
    // The outcome, the retry count or the retry run could not be written (13, 14, 15): the run
    // is rolled back and must be treated like a failed commit, or it would be installed and
    // finished again at every start without ever counting.
    bool notRecorded = false;
    if (r == 0) {
        ZLOG_I(log_, "[{}:{}] Update execution success -> {}", r);
        commit = true;
    } else if (r >= 90) {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, but done re-schedule",
               r);
        commit = true;
    } else if (r == 1) {
        ZLOG_I(log_, "[{}:{}] No update target");
        resultFile = false;
    } else if (r == kDueRunQueryFailed) {
        // Not "nothing due": a file that is no database, or lacks the tables, is an error.
        ZLOG_W(log_, "[{}:{}] Database is not readable : due run query failed -> {}", r);
        resultFile = false;
    } else {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, db data unchanged", r);
        notRecorded = true;
    }
    zorcommon::logPlain(log_, "-------------------------->>>>>");

    bool committed = true;
    if (began) {
        if (commit) {
            committed = controller.commitTransaction();
            if (committed) {
                ZLOG_I(log_, "[{}:{}] success db commit!");
            } else {
                ZLOG_W(log_, "[{}:{}] failed to db commit!");
                // A failed COMMIT can leave the transaction open; nothing of the run stays.
                controller.rollbackTransaction();
            }
        } else {
            controller.rollbackTransaction();
            ZLOG_I(log_, "[{}:{}] do db rollback!");
        }
    }
    controller.close();
    noteSignal();

    if (!committed || notRecorded) {
        // The outcome is not in the database, so the device must not act on it: no success
        // file and no finish command; the run is still due and the next start tries again.
        const std::string reason =
            std::string(committed ? "failed to record the outcome" : "failed to db commit") +
            " : run not recorded, retried at the next start" +
            (resultText.empty() ? std::string() : " | " + resultText);
        if (createResultFile(kCommitFailed, commandId, reason) != 0) {
            ZLOG_W(log_, "[{}:{}] failed to result file");
        }
        zorcommon::flushLog(log_);
        return kCommitFailed;
    }
    if (r == kDueRunQueryFailed) {
        zorcommon::flushLog(log_);
        return -1;
    }
    if (resultFile) {
        if (createResultFile(r, commandId, resultText) != 0) {
            ZLOG_W(log_, "[{}:{}] failed to result file");
        }
        runFinishCommand();
    }
    zorcommon::flushLog(log_);
    return r;
}

std::string cee_upd::fileTimeText(std::time_t t) {
    std::tm local{};
    char buffer[32] = {};
    if (localtime_r(&t, &local) != nullptr) {
        std::strftime(buffer, sizeof buffer, "%Y%m%d_%H%M%S", &local);
    }
    return buffer;
}

int cee_upd::execUpdate(db::DbUpdController& controller, int& commandId, std::string& resultText) {
    bool unreadable = false;
    const auto target = controller.selectTargetCommandInfo(&unreadable);
    if (unreadable) {
        return kDueRunQueryFailed;
    }
    if (!target.hasTarget()) {
        return 1;
    }
    const char* label = updateTypeLabel(target.command_type);
    const bool emergency = target.command_type == 1;
    ZLOG_I(log_,
           "[{}:{}] ===== <1> get update targets : proc_info.id -> {} : command_info.id -> {} : "
           "update id -> {} : update type -> {}",
           target.proc_info_id, target.command_info_id, target.command_id, label);
    commandId = target.command_id;
    noteSignal();

    std::vector<db::data::CancelProcInfo> executed;
    std::vector<db::data::CancelProcInfo> pending;
    std::vector<db::data::PackageInfoData> installs;
    std::vector<db::data::PackageInfoData> cancels;
    // A failing cancel step (<2>, <6> to <10>) ends the cancel work and the install; a failing
    // install step (<3> to <5>, <6.5>, <11>) ends only the install, so that the cancels
    // ordered with the run are carried out all the same. The result, the retry and the result
    // file always follow. A re-install refused by the package updater (<9>) is counted like a
    // failed install: its cancel work is undone, the attempt is recorded.
    bool cancelFailed = false;
    bool installFailed = false;
    bool reinstallFailed = false;
    bool nothingToInstall = false;
    int cancelCode = 0;
    int installResult = -1;
    auto failCancel = [&](const std::string& text) {
        resultText = text;
        cancelFailed = true;
    };
    auto failInstall = [&](const std::string& text) {
        resultText = text;
        installFailed = true;
    };

    if (emergency) {
        const int n = controller.selectCancelProcInfo(target.command_info_id, executed, pending);
        if (n < 0) {
            ZLOG_W(log_, "[{}:{}] ===== <2> get cancel target : select error -> {}", n);
            failCancel("<2> : select cancel target error -> " + std::to_string(n));
        } else if (n == 0) {
            ZLOG_I(log_, "[{}:{}] ===== <2> get cancel target : no have target at cancel");
        } else {
            ZLOG_I(log_,
                   "[{}:{}] ===== <2> get cancel target : cancel cid total num -> {} :: already "
                   "executed num -> {} : not executed num -> {}",
                   n, executed.size(), pending.size());
            for (const auto& run : executed) {
                ZLOG_I(log_,
                       "[{}:{}]           : [already installed] : proc_info.id -> {} : "
                       "command_info_id -> {} : proc_status -> {}",
                       run.id, run.command_info_id, run.proc_status);
            }
            for (const auto& run : pending) {
                ZLOG_I(log_,
                       "[{}:{}]           : [not executed] : proc_info.id -> {} : "
                       "command_info_id -> {} : proc_status -> {}",
                       run.id, run.command_info_id, run.proc_status);
            }
        }
    }

    if (!cancelFailed) {
        const int n = controller.selectPackageInfoAtCiid(target.command_info_id, installs);
        if (n < 0) {
            ZLOG_W(log_, "[{}:{}] ===== <3> get install package : select error -> {}", n);
            failInstall("<3> : select install package error -> " + std::to_string(n));
        } else if (n == 0) {
            ZLOG_I(log_, "[{}:{}] ===== <3> get install package : no have install package");
            // An emergency update may only cancel: nothing to look up, record or install.
            nothingToInstall = emergency;
        } else {
            ZLOG_I(log_, "[{}:{}] ===== <3> get install package : install package num -> {}", n);
            for (const auto& p : installs) {
                ZLOG_I(log_,
                       "[{}:{}]           : [install package] : package_info.id -> {} : "
                       "command_info_id -> {} : package name -> {}",
                       p.id, p.command_info_id, p.package_name);
            }
        }
    }

    if (nothingToInstall) {
        ZLOG_I(log_, "[{}:{}] ===== <4> get now installed package : skipped : nothing to install");
    }
    if (!cancelFailed && !installFailed && !nothingToInstall) {
        const int k = searchOldPackageVersion(installs);
        const int count = static_cast<int>(installs.size());
        if (k != count) {
            if (k > 0) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <4> get now installed package : Pakcage num does not match "
                       "the old package : install num -> {} : old package num -> {}",
                       count, k);
                failInstall(
                    "<4> get now installed package : Pakcage num does not match the old "
                    "package : install num -> " +
                    std::to_string(count) + " : old package num -> " + std::to_string(k));
            } else if (k == 0) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <4> get now installed package : Old package is found, but "
                       "not match -> {}",
                       k);
                failInstall("<4> Old package is found, but not match");
            } else if (k == -1) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <4> get now installed package : Error executing external "
                       "command to get old package list -> {}",
                       k);
                failInstall("<4> Error executing external command to get old package list");
            } else if (k == -2 || k == -3) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <4> get now installed package : Error in execution command "
                       "generation -> {}",
                       k);
                failInstall("<4> Error in execution command generation");
            } else if (k == -4) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <4> get now installed package : Old package not found -> {}",
                       k);
                failInstall("<4> Old package not found");
            } else {
                failInstall(resultText);
            }
        }
    }

    if (!cancelFailed && !installFailed && !nothingToInstall) {
        const int n = controller.updateOldPackageInfo(installs);
        if (n < 0) {
            ZLOG_W(log_, "[{}:{}] ===== <5> udapte db : update old package info error -> {}", n);
            failInstall("<5> : update old package info error");
        } else if (n == 0) {
            ZLOG_I(log_, "[{}:{}] ===== <5> udapte db : No update target(s). (old package info)");
        } else {
            ZLOG_I(log_,
                   "[{}:{}] ===== <5> udapte db : find update targets : proc_info.id -> {} : "
                   "command_info.id -> {} : update type -> {}",
                   target.proc_info_id, target.command_info_id, label);
        }
    }

    if (!cancelFailed && (emergency || !installFailed)) {
        const int n = controller.selectCancelPackageInfo(executed, cancels);
        if (n < 0) {
            ZLOG_W(log_, "[{}:{}] ===== <6> get cancel package : select cancel package error -> {}",
                   n);
            failCancel("<6> : select cancel package error -> " + std::to_string(n));
        } else if (n == 0) {
            ZLOG_I(log_,
                   "[{}:{}] ===== <6> get cancel package : No re-install target(s). (cancel "
                   "package)");
        } else {
            ZLOG_I(log_,
                   "[{}:{}] ===== <6> get cancel package : find cancel package targets : "
                   "re-install(cancel) package num -> {}",
                   n);
        }
    }
    noteSignal();

    // The battery is checked even for a run that already failed: an update that carries
    // battery firmware must never look installable while the battery does not answer.
    for (const auto& p : installs) {
        const int r = storageBatteryConnectionCheck(p.package_filename);
        if (r == 0) {
            continue;
        }
        if (r == 1) {
            ZLOG_I(log_, "[{}:{}] ===== <6.5> Storage battery connection check : SUCCESS : {}",
                   p.package_filename);
        } else {
            ZLOG_W(log_, "[{}:{}] ===== <6.5> Storage battery connection check : FAILED");
            failInstall("<6.5> Storage battery connection check : FAILED");
        }
        break;
    }
    const std::time_t startTime = std::time(nullptr);
    const std::string listDir = setting_->getStringValue("LIST_FILE_PATH");
    const std::string listPrefix = setting_->getStringValue("LIST_PRE_NAME");

    if (emergency) {
        // Undone as a whole when the package updater refuses the re-install (<9>).
        bool savepoint = !cancelFailed && controller.beginSavepoint();
        if (!cancelFailed) {
            if (pending.empty()) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <7> cancel pending updates : do nothing : cancel not "
                       "execute list num -> {}",
                       pending.size());
            } else {
                const int n = controller.updateCancelNotExecProcInfo(pending);
                if (n < 0) {
                    ZLOG_W(log_,
                           "[{}:{}] ===== <7> cancel pending updates : update cancel not execute "
                           "proc info error -> {} : not executed cancel proc_info num -> {}",
                           n, pending.size());
                    failCancel("<7> : select cancel package error -> " + std::to_string(n));
                } else if (n == 0) {
                    ZLOG_I(log_,
                           "[{}:{}] ===== <7> cancel pending updates : No update target(s). "
                           "(cancel not execute proc info)");
                } else {
                    ZLOG_I(log_,
                           "[{}:{}] ===== <7> cancel pending updates : find update targets "
                           "(cancel not execute proc info) : update num -> {}",
                           n);
                }
            }
        }

        std::string reinstallList;
        if (!cancelFailed) {
            if (cancels.empty()) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <8> create cancel package list : do nothing : cancel "
                       "package list num -> {}",
                       cancels.size());
            } else {
                reinstallList =
                    writePackageList(kReinstall, startTime, listDir, listPrefix, cancels);
                if (reinstallList.empty()) {
                    ZLOG_W(log_,
                           "[{}:{}] ===== <8> create cancel package list : create cancel package "
                           "list file error");
                    failCancel(
                        "<8> create cancel package list : create cancel package list file "
                        "error");
                } else if (reinstallList == kNoData) {
                    ZLOG_I(log_,
                           "[{}:{}] ===== <8> create cancel package list : not create cancel "
                           "package list file : no have cancel package");
                } else {
                    ZLOG_I(log_,
                           "[{}:{}] ===== <8> create cancel package list : create cancel package "
                           "list file -> {}",
                           reinstallList);
                }
            }
        }

        if (!cancelFailed) {
            if (cancels.empty() || reinstallList.empty()) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <9> execute cancel : do nothing : cancel target is none");
            } else {
                cancelCode = execPkgDownloadAndInstall(kReinstall, startTime, reinstallList);
                if (cancelCode == 0) {
                    ZLOG_I(log_, "[{}:{}] ===== <9> execute cancel : re-install success");
                } else if (cancelCode > 0) {
                    ZLOG_I(log_,
                           "[{}:{}] ===== <9> execute cancel : re-install(cancel) execution "
                           "failed -> {}",
                           cancelCode);
                    resultText = "<9> : re-install(cancel) execution failed -> " +
                                 std::to_string(cancelCode);
                    reinstallFailed = true;
                    if (savepoint) {
                        controller.rollbackToSavepoint();
                        savepoint = false;
                    }
                } else {
                    ZLOG_W(log_,
                           "[{}:{}] ===== <9> execute cancel : re-install(cancel) execution error "
                           "-> {}",
                           cancelCode);
                    failCancel("<9> : re-install(cancel) execution error -> " +
                               std::to_string(cancelCode));
                }
            }
        }

        if (!cancelFailed && !reinstallFailed) {
            const int n = controller.updateCancelSuccessProcInfo(executed);
            if (n < 0) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <10> update db for cancel : update re-install(success) proc "
                       "info error -> {}",
                       n);
                failCancel("<10> : update re-install(success) proc info error -> " +
                           std::to_string(n));
            } else if (n == 0) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <10> update db for cancel : No re-install target(s). "
                       "(cancel(success) proc info)");
            } else {
                ZLOG_I(log_,
                       "[{}:{}] ===== <10> update db for cancel : find re-install targets : "
                       "proc_info.id -> {} : command_info.id -> {} : update type -> {}",
                       target.proc_info_id, target.command_info_id, label);
            }
        }
        if (savepoint) {
            controller.releaseSavepoint();
        }
        noteSignal();
    }

    if (!cancelFailed && !installFailed && !reinstallFailed && nothingToInstall) {
        ZLOG_I(log_,
               "[{}:{}] ===== <11> create install package list : not create install package list "
               "file : no have install package");
        ZLOG_I(log_, "[{}:{}] ===== <12> execute update : skipped : nothing to install");
        installResult = 0;
    } else if (!cancelFailed && !reinstallFailed) {
        std::string installList;
        if (!installFailed) {
            installList = writePackageList(kInstall, startTime, listDir, listPrefix, installs);
            if (installList.empty()) {
                ZLOG_W(log_,
                       "[{}:{}] ===== <11> create install package list : create install package "
                       "list file error");
                failInstall("<11> : create install package list file error");
            } else if (installList == kNoData) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <11> create install package list : not create install "
                       "package list file : no have install package");
            } else {
                ZLOG_I(log_,
                       "[{}:{}] ===== <11> create install package list : create install package "
                       "list file -> {}",
                       installList);
            }
        }
        if (!installFailed) {
            const int e = execPkgDownloadAndInstall(kInstall, startTime, installList);
            if (e == 0) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <12> execute update : UPDATE SUCCESS : execUpdate : install "
                       "success");
                installResult = 0;
            } else if (e > 0) {
                ZLOG_I(log_,
                       "[{}:{}] ===== <12> execute update : UPDATE FAILED : execUpdate : install "
                       "execution failed -> {}",
                       e);
                resultText = "<12> execute update : UPDATE FAILED : install execution failed -> " +
                             std::to_string(e);
            } else {
                ZLOG_W(log_,
                       "[{}:{}] ===== <12> execute update : UPDATE FAILED: execUpdate : install "
                       "execution error -> {}",
                       e);
                resultText =
                    "<12> : UPDATE FAILED : install execution error -> " + std::to_string(e);
            }
        }
        noteSignal();
    }

    const std::time_t endTime = std::time(nullptr);
    const int status = installResult == 0 ? 1 : 2;
    const std::string outcome = installResult == 0 ? "SUCCESS" : "FAILED";
    // An aborted run's reason goes only to the log and the failure result file.
    const bool aborted = cancelFailed || installFailed;
    const int n =
        controller.updateResultProcInfo(target.proc_info_id, status, aborted ? "" : resultText,
                                        utcText(startTime), utcText(endTime));
    if (n < 0) {
        ZLOG_W(log_,
               "[{}:{}] ===== <13> update result to db : UPDATE {} : execUpdate : update "
               "proc_info.result error -> {}",
               outcome, n);
        if (resultText.empty()) {
            resultText = "<13> update result to db : UPDATE " + outcome +
                         " : install {} : update proc_info.result error -> " + std::to_string(n);
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
               outcome, target.proc_info_id, status);
    }
    if (status == 1) {
        return 0;
    }

    const int m =
        controller.selectNextProcNum(target.command_info_id, retrySetting("UPD_RETRY_NUM"));
    if (m == -3) {
        // A stored count that cannot be read counts as used up: never an unbounded repeat.
        ZLOG_W(log_,
               "[{}:{}] ===== <97> update failed : UPDATE {} : execUpdate : retry count is not "
               "usable : No insert next schedule proc_info.",
               outcome);
        const std::string why = " : retry count is not a number of 0 or more";
        if (resultText.empty()) {
            resultText = "<97> : UPDATE " + outcome +
                         " : Finish retrying update execution : Maximum number of retries" + why;
        } else {
            resultText += " | <97> : Maximum number of retries" + why;
        }
        return 97;
    }
    if (m == -1) {
        ZLOG_I(log_,
               "[{}:{}] ===== <97> update failed : UPDATE {} : execUpdate : No insert next "
               "schedule proc_info.",
               outcome);
        if (resultText.empty()) {
            resultText = "<97> : UPDATE " + outcome +
                         " : Finish retrying update execution : Maximum number of retries";
        } else {
            resultText += " | <97> : Maximum number of retries";
        }
        return 97;
    }
    if (m < -1) {
        ZLOG_W(log_,
               "[{}:{}] ===== <14> update failed : UPDATE {} : execUpdate : select next schedule "
               "execution num error -> {}",
               outcome, m);
        if (resultText.empty()) {
            resultText = "<14> update failed : UPDATE " + outcome +
                         " : select next schedule execution num error -> " + std::to_string(m);
        }
        return 14;
    }
    ZLOG_I(log_,
           "[{}:{}] ===== <99> update failed : UPDATE {} : execUpdate : update success : next "
           "schedule command_info.id -> {}",
           outcome, target.command_info_id);
    if (resultText.empty()) {
        resultText = "<99> : UPDATE " + outcome + " : update re-scheduled";
    }
    int code = 99;
    const int k =
        controller.insertNextProcInfo(target.command_info_id, retrySetting("UPD_RETRY_INTERVAL"));
    if (k > 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <99> schedule next run : UPDATE {} : execUpdate : update success : "
               "next schedule command_info.id -> {}",
               outcome, target.command_info_id);
        if (resultText.empty()) {
            resultText = "<99> schedule next run : UPDATE " + outcome + " : update re-scheduled";
        }
    } else if (k == 0) {
        ZLOG_I(log_,
               "[{}:{}] ===== <15> schedule next run : UPDATE {} : execUpdate : No insert next "
               "schedule proc_info.",
               outcome);
        if (resultText.empty()) {
            resultText = "<15> schedule next run : UPDATE " + outcome +
                         " : No insert next schedule proc_info";
        }
        code = 15;
    } else {
        ZLOG_W(log_,
               "[{}:{}] ===== <15> schedule next run : UPDATE {} : execUpdate : insert next "
               "schedule proc_info error -> {}",
               outcome, k);
        if (resultText.empty()) {
            resultText = "<15> schedule next run : UPDATE " + outcome +
                         " : insert next schedule proc_info error -> " + std::to_string(k);
        }
        return 15;
    }
    if (resultText.empty()) {
        resultText = "<98> other failed : UPDATE " + outcome + " : unknown reason";
        code = 98;
    }
    return code;
}

std::string cee_upd::makePackageQuery(
    const std::vector<db::data::PackageInfoData>& packages) const {
    std::string word;
    for (size_t i = 0; i < packages.size(); ++i) {
        word += (i > 0 ? "|" : "") + quotePackageName(packages[i].package_name);
    }
    if (word.empty()) {
        return "";
    }
    std::string command = pkgQueryTemplate_;
    command.replace(command.find(pkgGrepWord_), pkgGrepWord_.size(), word);
    return command;
}

int cee_upd::searchOldPackageVersion(std::vector<db::data::PackageInfoData>& packages) {
    if (pkgQueryTemplate_.find(pkgGrepWord_) == std::string::npos) {
        return -3;
    }
    const std::string command = makePackageQuery(packages);
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
    // The query's entries carry no state: the packages in the installed state ("ii") come from
    // a second listing, so that a removed package (configuration files only) is not taken.
    std::vector<std::string> installedLines;
    const int m = execCmdLines(kInstalledQuery, installedLines);
    if (m < 0) {
        return -1;
    }
    std::set<std::string> installed;
    for (const auto& line : installedLines) {
        installed.insert(line.substr(0, line.find_first_of("\r\n")));
    }
    int found = 0;
    for (auto& package : packages) {
        // The whole name: "abc" is not installed in the form of "abc-tools_2.0_armhf.deb".
        const std::string head = package.package_name + "_";
        for (const auto& entry : entries) {
            if (entry.rfind(head, 0) == 0 && installed.count(package.package_name) > 0) {
                std::string old = entry;
                const auto newline = old.find('\n');
                if (newline != std::string::npos) {
                    old.erase(newline, 1);
                }
                package.old_package_filename = old;
                ZLOG_W(log_,
                       "[{}:{}]     search old package version: found : old -> {} : new -> {}",
                       package.old_package_filename, package.package_filename);
                ++found;
                break;
            }
            ZLOG_W(log_, "[{}:{}]     search old package version: not found!");
        }
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

int cee_upd::createResultFile(int code, int commandId, const std::string& resultText) {
    const std::string dir = setting_->getStringValue("RESULT_DIR");
    const bool dirOk = zorcommon::makeDirectories(dir) == 0;
    const std::string failPath = dir + "/" + setting_->getStringValue("RESULT_FAIL_FILE");
    std::remove(failPath.c_str());
    // Written beside and renamed into place: the folder may be writable by others, and a link
    // planted at the name must be replaced, never followed.
    if (code == 0) {
        const std::string path = dir + "/" + setting_->getStringValue("RESULT_FILE");
        if (!zorcommon::replaceFile(path, "update\n" + std::to_string(commandId) + "\n")) {
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
