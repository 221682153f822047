#include "cee_upd.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>

#include "ExecCmd.h"

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

cee_upd::cee_upd() : setting_(data::SettingData::getInstance()), log_(logger()) {}

cee_upd::~cee_upd() = default;

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
    if (r == 0) {
        ZLOG_I(log_, "[{}:{}] Update execution success -> {}", r);
        commit = true;
    } else if (r >= 90) {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, but done re-schedule",
               r);
        commit = true;
    } else if (r == 1) {
        ZLOG_I(log_, "[{}:{}] No update target");
    } else {
        ZLOG_W(log_, "[{}:{}] Update execution failed -> {} : update failed, db data unchanged", r);
    }
    zorcommon::logPlain(log_, "-------------------------->>>>>");

    if (began) {
        if (commit) {
            if (controller.commitTransaction()) {
                ZLOG_I(log_, "[{}:{}] success db commit!");
            } else {
                ZLOG_W(log_, "[{}:{}] failed to db commit!");
            }
        } else {
            controller.rollbackTransaction();
            ZLOG_I(log_, "[{}:{}] do db rollback!");
        }
    }
    controller.close();
    noteSignal();
    zorcommon::flushLog(log_);
    return r;
}

int cee_upd::execUpdate(db::DbUpdController& controller, int& commandId,
                        std::string& /*resultText*/) {
    const auto target = controller.selectTargetCommandInfo();
    if (!target.hasTarget()) {
        return 1;
    }
    ZLOG_I(log_,
           "[{}:{}] ===== <1> get update targets : proc_info.id -> {} : command_info.id -> {} : "
           "update id -> {} : update type -> {}",
           target.proc_info_id, target.command_info_id, target.command_id,
           updateTypeLabel(target.command_type));
    commandId = target.command_id;
    noteSignal();

    // The package steps are not part of this build: leave the run as it is.
    ZLOG_W(log_, "[{}:{}] ===== <2> update steps are not available : the run stays scheduled");
    return kStepsUnavailable;
}

}  // namespace zorupd
