#include "cmd_exec_env.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <deque>
#include <iostream>
#include <thread>
#include <utility>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "CmdInfoXmlCommands.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "JsonUtil.h"
#include "SettingData.h"

namespace zorcee {

namespace {
using command::CmdInfoBase;

std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::deque<std::string> receiveQueue;
std::mutex receiveMutex;
std::deque<std::string> sendQueue;
std::mutex sendMutex;
std::deque<std::pair<std::string, std::string>> resultQueue;
std::mutex resultMutex;

data::SettingData* setting = nullptr;
std::unique_ptr<conn::ConnectionManager> connectionManager;
// Set once in initMain, before the receive callback can run; only read afterwards.
zorcommon::Logger logger;

const char* successText(int rc) {
    return rc == 0 ? "success" : "failed";
}

// Factories of the commands the agent knows, in the order names are compared.
using Factory = std::unique_ptr<CmdInfoBase> (*)(const picojson::value&);
struct CommandEntry {
    const char* name;
    Factory factory;
};
template <class Command>
std::unique_ptr<CmdInfoBase> make(const picojson::value& order) {
    return std::make_unique<Command>(order);
}
const CommandEntry kCommands[] = {
    {"Restart", make<command::CmdInfoReboot>},
    {"GetLatestMeasurementData", make<command::CmdInfoDispMeasure>},
    {"GetMeasurementData", make<command::CmdInfoLossNew>},
    {"SendDeviceCommand", make<command::CmdInfoSendDevice>},
    {"SaveFile", make<command::CmdInfoFileGet>},
    {"UploadFile", make<command::CmdInfoFileSend>},
    {"UploadNormalLog", make<command::CmdInfoLogSend>},
    {"nwreset", make<command::CmdInfoNwReset>},
    {"UpdateLogger", make<command::CmdInfoUpdate>},
    {"WriteToEchonetDevice", make<command::CmdInfoEcholDevWrite>},
    {"ReadFromEchonetDevice", make<command::CmdInfoEcholDevRead>},
    {"ResetStorageBattery", make<command::CmdInfoBatReset>},
    {"ReadListFromEchonetDevice", make<command::CmdInfoEcholDevReadList>},
    {"OutputControlPlantIdCheckForLogger", make<command::CmdInfoOutputCtrlPlantIdCheck>},
    {"TransferOutputControlSchedule", make<command::CmdInfoTransferOutputCtrlSched>},
};

void displaySettings() {
    const auto& s = *setting;
    zorcommon::logPlain(logger, "");
    zorcommon::logPlain(logger, "-----------------------------------------");
    ZLOG_I(logger, "[{}:{}] in initMain : Display Setting Data >>>");
    ZLOG_I(logger, "[{}:{}]    CMD_SUBSTRATE_CODE = {}", s.getStringValue("CMD_SUBSTRATE_CODE"));
    ZLOG_I(logger, "[{}:{}]    LOG.LOG_DIR        = {}", s.getStringValue("LOG_DIR"));
    ZLOG_I(logger, "[{}:{}]    LOG.LOG_FILE       = {}", s.getStringValue("LOG_FILE"));
    ZLOG_I(logger, "[{}:{}]    LOG.LOG_MAX_BYTES  = {}", s.getIntValue("LOG_MAX_BYTES"));
    ZLOG_I(logger, "[{}:{}]    LOG.LOG_COUNTS     = {}", s.getIntValue("LOG_COUNTS"));
    ZLOG_I(logger, "[{}:{}]    PLATFORM           = {}", s.getStringValue("PLATFORM"));
    ZLOG_I(logger, "[{}:{}]    FILE_GROUP         = {}", s.getStringValue("FILE_GROUP"));
    ZLOG_I(logger, "[{}:{}]    QMT.URL            = {}", s.getStringValue("URL"));
    ZLOG_I(logger, "[{}:{}]    QMT.RETRY_NUM      = {}", s.getIntValue("RETRY_NUM"));
    ZLOG_I(logger, "[{}:{}]    QMT.RETRY_INTERVAL = {}", s.getIntValue("RETRY_INTERVAL"));
    ZLOG_I(logger, "[{}:{}]    PKG.TIME_START     = {}", s.getStringValue("TIME_START"));
    ZLOG_I(logger, "[{}:{}]    PKG.TIME_END       = {}", s.getStringValue("TIME_END"));
    ZLOG_I(logger, "[{}:{}]    PKG.DAY_SDPAN      = {}", s.getIntValue("DAY_SPAN"));
    ZLOG_I(logger, "[{}:{}]    PKG.LOCALE_HOUR    = {}", s.getIntValue("LOCALE_HOUR"));
    ZLOG_I(logger, "[{}:{}]    PKG.LIST_FILE_PATH = {}", s.getStringValue("LIST_FILE_PATH"));
    ZLOG_I(logger, "[{}:{}]    PKG.LIST_PRE_NAME  = {}", s.getStringValue("LIST_PRE_NAME"));
    zorcommon::logPlain(logger, "");
    ZLOG_I(logger, "[{}:{}]    group name         = {}", s.getGroupName());
    ZLOG_I(logger, "[{}:{}]    substrate code     = {}", s.getSubstrateCode());
    zorcommon::logPlain(logger, "-----------------------------------------\n");
}

// Writes the signal line once, on the main thread, as soon as the loop sees the flag.
void noteSignal(bool& noted) {
    const int sig = stopFlag.load();
    if (sig != 0 && !noted) {
        noted = true;
        ZLOG_I(logger, "[{}:{}] in signal_handler : receive signal -> {}", sig);
        zorcommon::flushLog(logger);
    }
}

// The signal handler writes a byte here (write() is async-signal-safe), so that the loop's
// sleep ends at once whichever thread the signal interrupted, without waking up in between.
int wakePipe[2] = {-1, -1};

void openWakePipe() {
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
}

// Sleeps one second, cut short once a signal has asked the process to stop.
void sleepOnePass() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (stopFlag.load() == 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (wakePipe[0] < 0) {
            // No pipe (out of descriptors at start-up): poll the flag instead.
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
            continue;
        }
        pollfd wake{wakePipe[0], POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left.count())) > 0) {
            char drain[16];
            while (::read(wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
    }
}
}  // namespace

int initMain(const std::string& configPath) {
    data::SettingData::createInstance(configPath);
    setting = data::SettingData::getInstance();

    std::string error;
    logger = zorcommon::createRotatingLogger(
        "cee", setting->getStringValue("LOG_DIR"), setting->getStringValue("LOG_FILE"),
        setting->getIntValue("LOG_MAX_BYTES"), setting->getIntValue("LOG_COUNTS"), error);
    if (!logger) {
        std::cerr << "cee-agent: cannot open log file " << setting->getStringValue("LOG_DIR") << "/"
                  << setting->getStringValue("LOG_FILE") << " : " << error << std::endl;
        return 1;
    }
    zorcommon::logPlain(logger, "===========================================");
    ZLOG_I(logger, "[{}:{}] Start Command Execution Environment.");
    zorcommon::flushLog(logger);

    openWakePipe();
    for (const int sig : {SIGINT, SIGTERM}) {
        if (std::signal(sig, signal_handler) == SIG_ERR) {
            ZLOG_E(logger, "[{}:{}] Error: set signal handler");
            zorcommon::flushLog(logger);
        }
    }

    connectionManager = std::make_unique<conn::ConnectionManager>();
    displaySettings();

    ZLOG_I(logger, "[{}:{}] in initMain : MQTT connect status >>>");
    ZLOG_I(logger, "[{}:{}]   connect status  -> {}", connectionManager->getConnectStatus());
    ZLOG_I(logger, "[{}:{}]   status (stage)  -> {}", connectionManager->getStage());
    zorcommon::logPlain(logger, "-----------------------------------------\n");
    zorcommon::flushLog(logger);

    ZLOG_I(logger, "[{}:{}] in initMain : Start MQTT Connect >>>");
    const int conn = connectionManager->initConn();
    ZLOG_I(logger, "[{}:{}] in initMain : initConn : MQTT Connect -> {} ({})", successText(conn),
           conn);
    if (conn != 0) {
        zorcommon::flushLog(logger);
        return 1;
    }
    connectionManager->setReceiver(subscribeFunction);

    zorcommon::setBusyTimeoutMs(setting->getIntValue("BUSY_TIMEOUT_MS"));
    db::DbController controller;
    const int dbResult =
        controller.init(setting->getStringValue("DB_PATH"), setting->getStringValue("DB_FILE"),
                        setting->getStringValue("LOCK_CEE"), setting->getStringValue("LOCK_UPD"));
    ZLOG_I(logger, "[{}:{}] in initMain : DB init -> {} ({})", successText(dbResult), dbResult);
    if (dbResult != 0) {
        ZLOG_I(logger, "[{}:{}] in initMain : DB init failed !!!!!");
        zorcommon::flushLog(logger);
        return 1;
    }
    return 0;
}

void startMain() {
    // The handle was set in initMain; the lookup finds the same logger.
    const auto log = spdlog::get("cee");
    ZLOG_I(log, "[{}:{}] in startMain : === Waiting to receive instructions from the server ===");
    zorcommon::flushLog(log);

    openWakePipe();
    bool signalNoted = false;
    while (stopFlag.load() == 0) {
        sleepOnePass();
        noteSignal(signalNoted);

        std::string order;
        bool haveOrder = false;
        {
            std::lock_guard<std::mutex> lock(receiveMutex);
            if (!receiveQueue.empty()) {
                ZLOG_I(log, "[{}:{}] in startMain loop : have Receive Data cnt -> {}",
                       receiveQueue.size());
                order = std::move(receiveQueue.front());
                receiveQueue.pop_front();
                haveOrder = true;
            }
        }
        if (haveOrder) {
            ZLOG_I(log, "[{}:{}] in startMain loop : start Execute Thread : Receive Data -> {}",
                   order);
            zorcommon::flushLog(log);
            std::thread worker(executeServerOrderThread, std::ref(sendMutex), std::ref(resultMutex),
                               order);
            worker.join();
            ZLOG_I(log, "[{}:{}] in startMain loop : end Execute Thread (join)");
            zorcommon::flushLog(log);
        }

        std::string answer;
        bool haveAnswer = false;
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            if (!sendQueue.empty()) {
                ZLOG_I(log, "[{}:{}] in startMain loop : find Send Data cnt -> {}",
                       sendQueue.size());
                answer = std::move(sendQueue.front());
                sendQueue.pop_front();
                haveAnswer = true;
            }
        }
        if (haveAnswer) {
            ZLOG_I(log, "[{}:{}] in startMain loop : start Send Data : Send Data -> {}", answer);
            zorcommon::flushLog(log);
            const int rc = publishReturnServer(answer);
            ZLOG_I(log, "[{}:{}] in startMain loop : end Send Data (MQTT publish) -> {} ({})",
                   successText(rc), rc);
            zorcommon::flushLog(log);
        }

        std::pair<std::string, std::string> result;
        bool haveResult = false;
        {
            std::lock_guard<std::mutex> lock(resultMutex);
            if (!resultQueue.empty()) {
                ZLOG_I(log, "[{}:{}] in startMain loop : find Send Data to MZKT cnt -> {}",
                       resultQueue.size());
                result = std::move(resultQueue.front());
                resultQueue.pop_front();
                haveResult = true;
            }
        }
        if (haveResult) {
            ZLOG_I(log, "[{}:{}] in startMain loop : start Send Data to MZKT : Send Data -> {}",
                   result.second);
            zorcommon::flushLog(log);
            std::string response;
            const int rc =
                sendHttpPost(result.first, zorcommon::decodeBase64(result.second), response);
            ZLOG_I(log,
                   "[{}:{}] in startMain loop : end Send Data to MZKT (HTTP POST) -> {} ({}) : "
                   "receive message -> {}",
                   successText(rc), rc, response);
            zorcommon::flushLog(log);
        }
        noteSignal(signalNoted);
    }
    ZLOG_I(log, "[{}:{}] in startMain : exit loop ");
    zorcommon::flushLog(log);
}

void endMain() {
    ZLOG_I(logger, "[{}:{}] in endMain : delete objects");
    zorcommon::flushLog(logger);
    connectionManager.reset();
    data::SettingData::destroyInstance();
    setting = nullptr;
}

void signal_handler(int signal) {
    stopFlag.store(signal);
    if (wakePipe[1] >= 0) {
        const int savedErrno = errno;
        const char byte = 1;
        const ssize_t written = ::write(wakePipe[1], &byte, 1);
        (void)written;  // a full pipe already wakes the loop
        errno = savedErrno;
    }
}

void subscribeFunction(const char* topic, const char* message) {
    try {
        ZLOG_I(logger, "[{}:{}] in subscribeFunction : Subscribe : topic -> {} : message -> {}",
               topic != nullptr ? topic : "", message != nullptr ? message : "");
        if (message == nullptr || message[0] == '\0') {
            return;
        }
        ZLOG_D(logger, "[{}:{}] in subscribeFunction : add Receive Queue");
        zorcommon::flushLog(logger);
        std::lock_guard<std::mutex> lock(receiveMutex);
        receiveQueue.emplace_back(message);
    } catch (const std::exception& e) {
        // Called from the MQTT library's C thread: nothing may escape.
        std::cerr << "subscribeFunction: " << e.what() << std::endl;
    }
}

std::unique_ptr<CmdInfoBase> CreateCmdInfoObj(const std::string& orderText) {
    ZLOG_I(logger, "[{}:{}] in CreateCmdInfoObj");
    picojson::value parsed;
    const std::string err = zorcommon::parseJson(parsed, orderText);
    if (!err.empty()) {
        ZLOG_W(logger, "[{}:{}] in CreateCmdInfoObj : json parse error : {}", err);
        zorcommon::flushLog(logger);
        return std::make_unique<CmdInfoBase>(parsed);
    }
    try {
        const auto& order = parsed.get("order").get<picojson::object>();
        const auto type = order.find("type");
        const auto indicate = order.find("indicate");
        if (type != order.end() && type->second.get<std::string>() == "cmd" &&
            indicate != order.end()) {
            const std::string& name = indicate->second.get<std::string>();
            for (const auto& entry : kCommands) {
                if (name == entry.name) {
                    ZLOG_I(logger, "[{}:{}] in CreateCmdInfoObj : command found -> {}", entry.name);
                    return entry.factory(parsed);
                }
            }
            ZLOG_W(logger, "[{}:{}] in CreateCmdInfoObj : command not found : indicate -> {}",
                   name);
        }
    } catch (const std::exception& e) {
        ZLOG_E(logger, "[{}:{}] in CreateCmdInfoObj : json parse error -> {}", e.what());
        zorcommon::flushLog(logger);
    }
    ZLOG_W(logger, "[{}:{}] in CreateCmdInfoObj : command not found");
    zorcommon::flushLog(logger);
    return std::make_unique<CmdInfoBase>(parsed);
}

void executeServerOrderThread(std::mutex& sendMtx, std::mutex& resultMtx, std::string orderText) {
    // Runs on its own thread: nothing may escape it.
    try {
        ZLOG_I(logger, "[{}:{}] in executeServerOrderThread");
        zorcommon::flushLog(logger);
        const auto cmd = CreateCmdInfoObj(orderText);
        ZLOG_I(logger, "[{}:{}] in executeServerOrder : name -> {}", cmd->getName());
        if (!cmd->isExecutable()) {
            ZLOG_W(logger, "[{}:{}] in executeServerOrder : no execution command : name -> {}",
                   cmd->getName());
            zorcommon::flushLog(logger);
            return;
        }
        const std::string platform = setting->getPlatform();
        const std::string group = setting->getGroupName();
        const std::string code = setting->getSubstrateCode();
        const bool target = cmd->isExecTarget(platform, group, code);
        ZLOG_I(logger, "[{}:{}] in executeServerOrder : check execute target command -> {}",
               target ? "true" : "false");
        if (!target) {
            ZLOG_W(logger,
                   "[{}:{}] in executeServerOrder : not execute target command : platform -> {}, "
                   "group -> {}, substrate code -> {}",
                   platform, group, code);
            zorcommon::flushLog(logger);
            return;
        }
        ZLOG_D(logger,
               "[{}:{}] in executeServerOrder : !!!!! EXECUTE !!!!! : platform -> {}, group -> "
               "{}, substrate code -> {}",
               platform, group, code);
        zorcommon::flushLog(logger);
        ZLOG_D(logger, "[{}:{}] in executeServerOrder : {}use ConnectionManager",
               cmd->isUseConnectionManager() ? "" : "not ");
        if (cmd->isUseConnectionManager()) {
            cmd->setConnectionManager(connectionManager.get());
        }
        zorcommon::flushLog(logger);
        cmd->execCommand();
        zorcommon::flushLog(logger);

        if (cmd->isSendResult()) {
            const std::string text = cmd->getResultString();
            const std::string url = cmd->getServerUrl();
            if (url.empty()) {
                ZLOG_W(logger,
                       "[{}:{}] in executeServerOrder : !!!!! RESULT send for MZKT !!!!! : "
                       "server setting is not found : result str -> {}",
                       text);
                zorcommon::flushLog(logger);
            } else {
                ZLOG_D(logger,
                       "[{}:{}] in executeServerOrder : !!!!! RESULT send for MZKT !!!!! : result "
                       "str -> {}",
                       text);
                std::lock_guard<std::mutex> lock(resultMtx);
                resultQueue.emplace_back(url, text);
            }
        }
        if (cmd->hasOutput()) {
            const std::string output = cmd->getOutputData();
            ZLOG_D(logger, "[{}:{}] in executeServerOrder : !!!!! RESULT !!!!! : result str -> {}",
                   output);
            std::lock_guard<std::mutex> lock(sendMtx);
            sendQueue.push_back(output);
        } else {
            ZLOG_D(logger,
                   "[{}:{}] in executeServerOrder : !!!!! RESULT !!!!! : no output in the command");
        }
        ZLOG_I(logger, "[{}:{}] in executeServerOrderThread : end");
    } catch (const std::exception& e) {
        ZLOG_E(logger, "[{}:{}] in executeServerOrderThread : unexpected error -> {}", e.what());
        zorcommon::flushLog(logger);
    }
}

int publishReturnServer(const std::string& text) {
    ZLOG_I(logger, "[{}:{}] in publishReturnServer : Publish : message -> {}", text);
    const int rc = connectionManager ? connectionManager->dataSender(text) : -1;
    ZLOG_I(logger, "[{}:{}] in publishReturnServer : Publish finish -> {}", rc);
    return rc;
}

int sendHttpPost(const std::string& url, const std::string& text, std::string& response) {
    const int rc = connectionManager ? connectionManager->httpSendPost(url, text, response) : -1;
    ZLOG_I(logger, "[{}:{}] in sendHttpPost : Publish finish -> {}: receive message -> {}", rc,
           response);
    return rc;
}

void attachObjects(std::unique_ptr<conn::ConnectionManager> manager) {
    setting = data::SettingData::getInstance();
    logger = spdlog::get("cee");
    connectionManager = std::move(manager);
}

size_t pendingReceiveCount() {
    std::lock_guard<std::mutex> lock(receiveMutex);
    return receiveQueue.size();
}

size_t pendingSendCount() {
    std::lock_guard<std::mutex> lock(sendMutex);
    return sendQueue.size();
}

size_t pendingResultCount() {
    std::lock_guard<std::mutex> lock(resultMutex);
    return resultQueue.size();
}

}  // namespace zorcee
