#include "cmd_exec_env.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <iostream>
#include <limits>
#include <thread>
#include <utility>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "CmdInfoXmlCommands.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "FileUtil.h"
#include "InstanceLock.h"
#include "JsonUtil.h"
#include "ReceiptSpool.h"
#include "SettingData.h"
#include "StringUtil.h"
#include "WalKeeper.h"

namespace zorcee {

namespace {
using command::CmdInfoBase;

// Bounds of the receipt spool, and of the answers to orders it refused (texts without the
// order's payload, kept in memory until the broker acknowledged them).
constexpr std::size_t kSpoolMaxOrders = 1000;
constexpr std::uint64_t kSpoolMaxBytes = 64ull * 1024 * 1024;
constexpr std::size_t kMaxRefusalBytes = 16u * 1024 * 1024;
// While this many answers wait for the broker's acknowledgement, no further order starts: a
// broker outage does not turn into a long list of orders carried out but unanswered.
constexpr std::size_t kMaxWaitingAnswers = 10;
// Errors that repeat with every order (a full or read-only spool folder) are logged at most
// this often.
constexpr std::chrono::seconds kErrorLogInterval{60};
// How much of a damaged receipt an answer carries (data.receipt).
constexpr std::size_t kMaxReceiptInAnswer = 1024;
// Recorded in the answer (data.error) and in the row of an order a stop cut off.
const char* const kInterruptedError =
    "interrupted: the agent stopped while this order was running; it is not executed again";
// res_result of such a row.
constexpr int kInterruptedResult = -1;

std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::deque<std::string> sendQueue;
std::mutex sendMutex;
std::deque<std::pair<std::string, std::string>> resultQueue;
std::mutex resultMutex;
// Failed answers to orders the spool could not take, and their size; filled by the receive
// callback, each removed once the broker acknowledged it.
std::deque<std::string> refusalQueue;
std::size_t refusalBytes = 0;
std::mutex refusalMutex;

// Declared in the order of their use: static objects are destroyed in reverse, so the
// connection manager (whose MQTT delivery thread calls subscribeFunction) goes first, then the
// spool, and the logger last. Set in initMain before the receive callback can run; afterwards
// only read (the spool is thread-safe itself).
zorcommon::Logger logger;
data::SettingData* setting = nullptr;
std::unique_ptr<ReceiptSpool> spool;
// Orders a stop cut off, found in the spool at start; answered by the loop, oldest first.
std::deque<ReceiptSpool::Entry> interruptedOrders;
// Answers of spooled orders not yet acknowledged by the broker, oldest first (main thread
// only). Each is stored in the spool before it is first published and read back from there
// (text empty), unless the spool could not take it (full or read-only folder): then its text
// is kept here and goes out from memory.
std::deque<ReceiptSpool::Entry> waitingAnswers;
std::unique_ptr<conn::ConnectionManager> connectionManager;
// One agent per database folder and per spool folder, for the agent's whole run.
InstanceLock databaseLock;
InstanceLock spoolLock;
// Number of the spooled order the order thread is running (0: none), for the row listener.
std::atomic<std::uint64_t> runningSeq{0};
// Keeps the database's write-ahead log in use between the orders' own connections (main thread,
// from the database's preparation to the end of the loop).
std::unique_ptr<db::WalKeeper> walKeeper;

// Holds the database file as it is now (once per pass: a file replaced by an order's open is
// held from the next pass on).
void holdWriteAheadLog() {
    if (walKeeper) {
        walKeeper->refresh(setting->getStringValue("DB_PATH") + "/" +
                           setting->getStringValue("DB_FILE"));
    }
}

const char* successText(int rc) {
    return rc == 0 ? "success" : "failed";
}

// True at most once per kErrorLogInterval (any thread).
bool errorLogDue() {
    static std::atomic<std::int64_t> lastS{std::numeric_limits<std::int64_t>::min()};
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::int64_t last = lastS.load();
    return (last == std::numeric_limits<std::int64_t>::min() ||
            now - last >= kErrorLogInterval.count()) &&
           lastS.compare_exchange_strong(last, now);
}

// Factories of the commands the agent knows, in the order names are compared.
using Factory = std::unique_ptr<CmdInfoBase> (*)(picojson::value&&);
struct CommandEntry {
    const char* name;
    Factory factory;
};
template <class Command>
std::unique_ptr<CmdInfoBase> make(picojson::value&& order) {
    return std::make_unique<Command>(std::move(order));
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

// Set by the handler of SIGHUP and SIGUSR1, which a daemon must survive: the signal number.
std::atomic<int> ignoredSignal{0};
// Whether installSignalHandlers could not install a handler (logged once the log exists).
bool signalSetupFailed = false;

void noteIgnoredSignal(int signal) {
    ignoredSignal.store(signal);
}

// Writes the signal line once, on the main thread, as soon as start-up or the loop sees the
// flag; and a line for each ignored signal seen.
bool signalNoted = false;
void noteSignal() {
    const int sig = stopFlag.load();
    if (sig != 0 && !signalNoted && logger) {
        signalNoted = true;
        ZLOG_I(logger, "[{}:{}] in signal_handler : receive signal -> {}", sig);
        zorcommon::flushLog(logger);
    }
    const int ignored = logger ? ignoredSignal.exchange(0) : 0;
    if (ignored != 0) {
        ZLOG_W(logger, "[{}:{}] in signal_handler : signal ignored -> {}", ignored);
        zorcommon::flushLog(logger);
    }
}

// The described checks of an order before it runs: executable, and addressed to this terminal.
// Writes their log lines; true when the order is this terminal's to execute.
bool isOwnOrder(CmdInfoBase& cmd) {
    ZLOG_I(logger, "[{}:{}] in executeServerOrder : name -> {}", cmd.getName());
    if (!cmd.isExecutable()) {
        ZLOG_W(logger, "[{}:{}] in executeServerOrder : no execution command : name -> {}",
               cmd.getName());
        zorcommon::flushLog(logger);
        return false;
    }
    const std::string platform = setting->getPlatform();
    const std::string group = setting->getGroupName();
    const std::string code = setting->getSubstrateCode();
    const bool target = cmd.isExecTarget(platform, group, code);
    ZLOG_I(logger, "[{}:{}] in executeServerOrder : check execute target command -> {}",
           target ? "true" : "false");
    if (!target) {
        ZLOG_W(logger,
               "[{}:{}] in executeServerOrder : not execute target command : platform -> {}, "
               "group -> {}, substrate code -> {}",
               platform, group, code);
        zorcommon::flushLog(logger);
        return false;
    }
    return true;
}

// The answer of an order that is not executed: data.value "", data.result "failed",
// data.error the reason, target removed, new timestamp.
std::string failedAnswer(CmdInfoBase& cmd, const std::string& error) {
    cmd.reWriteData4Return(1, "");  // empties data.value first: the copy below stays small
    cmd.eraseTarget();
    cmd.reWriteTimestamp();
    picojson::value answer = cmd.getOrderJson();
    if (answer.is<picojson::object>()) {
        picojson::value& data = answer.get<picojson::object>()["data"];
        if (!data.is<picojson::object>()) {
            data = picojson::value(picojson::object());
        }
        auto& members = data.get<picojson::object>();
        members["value"] = picojson::value(std::string());
        members["result"] = picojson::value(std::string("failed"));
        members["error"] = picojson::value(error);
    }
    // As for an executed order's answer: bytes of the order that are not UTF-8 are replaced.
    return zorcommon::toValidUtf8(answer.serialize());
}

// Notes the row the running order wrote beside its receipt (order thread).
void noteRow(std::int64_t id) {
    const std::uint64_t seq = runningSeq.load();
    if (seq != 0 && spool) {
        spool->setRowId(seq, id);
    }
}

// Stores an order's answer in the spool before it is first published, and queues it for the
// broker. From here on the order is answered with this text, also after a crash.
void settleAnswer(const zorcommon::Logger& log, std::uint64_t seq, std::string answer) {
    std::string error;
    if (spool->storeAnswer(seq, answer, error)) {
        answer.clear();  // on disk: memory holds one answer at a time, however many wait
    } else if (errorLogDue()) {
        ZLOG_E(log, "[{}:{}] in startMain loop : answer not stored, sent from memory : {}", error);
        zorcommon::flushLog(log);
    }
    waitingAnswers.push_back({seq, std::move(answer), 0});
}

// Answers an order without running it: one a stop cut off (found at start; its row, if it
// wrote one, gets the reason first), or one that could not be marked started.
void answerUnrun(const zorcommon::Logger& log, ReceiptSpool::Entry& entry,
                 const std::string& error) {
    if (entry.rowId > 0) {
        db::DbController db;
        if (db.open(setting->getStringValue("DB_PATH"), setting->getStringValue("DB_FILE"))) {
            db.updateCommandInfoAtId(entry.rowId, error, kInterruptedResult, "");
        }
        db.close();
    }
    // The order as far as needed for its answer (data.value is read as "").
    picojson::value order;
    std::string reason = error;
    if (!zorcommon::parseJson(order, entry.text, zorcommon::kMaxJsonDepth, true).empty() ||
        !order.is<picojson::object>() || !order.get("order").is<picojson::object>()) {
        // An empty or cut-off file: the answer carries what of it can be read.
        const picojson::object data{
            {"value", picojson::value(std::string())},
            {"receipt", picojson::value(entry.text.substr(0, kMaxReceiptInAnswer))}};
        order = picojson::value(picojson::object{{"data", picojson::value(data)}});
        reason += " (the receipt of this order was damaged)";
    }
    CmdInfoBase cmd(std::move(order));
    settleAnswer(log, entry.seq, failedAnswer(cmd, reason));
}

// True while the broker can take a publish; answers wait for it otherwise.
bool brokerReachable() {
    return connectionManager && connectionManager->getConnectStatus() == 1;
}

// Publishes the answers to refused orders, oldest first, until one fails.
void publishRefusals() {
    for (;;) {
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(refusalMutex);
            if (refusalQueue.empty()) {
                return;
            }
            answer = refusalQueue.front();
        }
        if (!brokerReachable() || publishReturnServer(answer) != 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(refusalMutex);
        refusalBytes -= refusalQueue.front().size();
        refusalQueue.pop_front();
    }
}

// Publishes the waiting answers, oldest first, until one fails; an acknowledged answer is
// removed from the spool.
void publishAnswers(const zorcommon::Logger& log) {
    while (!waitingAnswers.empty() && brokerReachable()) {
        const std::uint64_t seq = waitingAnswers.front().seq;
        std::string text = waitingAnswers.front().text;
        if (text.empty() && !spool->readAnswer(seq, text)) {
            // Only a spool folder removed under the agent takes a stored answer away.
            ZLOG_E(log, "[{}:{}] in startMain loop : stored answer lost : order number -> {}", seq);
            waitingAnswers.pop_front();
            continue;
        }
        ZLOG_I(log, "[{}:{}] in startMain loop : find Send Data cnt -> {}", waitingAnswers.size());
        ZLOG_I(log, "[{}:{}] in startMain loop : start Send Data : Send Data -> {}", text);
        zorcommon::flushLog(log);
        const int rc = publishReturnServer(text);
        ZLOG_I(log, "[{}:{}] in startMain loop : end Send Data (MQTT publish) -> {} ({})",
               successText(rc), rc);
        zorcommon::flushLog(log);
        if (rc != 0) {
            return;
        }
        spool->remove(seq);
        waitingAnswers.pop_front();
    }
}

// Runs one order on the order thread and returns its answer (empty: none).
std::string runOnOrderThread(std::string text) {
    // While the order runs, answers to refused orders still go out: they must not wait behind
    // an order that may take minutes. The order thread publishes nothing itself.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::thread worker([&, text = std::move(text)]() mutable {
        executeServerOrderThread(sendMutex, resultMutex, std::move(text));
        {
            std::lock_guard<std::mutex> lock(doneMutex);
            done = true;
        }
        doneCv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(doneMutex);
        while (!doneCv.wait_for(lock, std::chrono::milliseconds(200), [&] { return done; })) {
            lock.unlock();
            publishRefusals();
            lock.lock();
        }
    }
    worker.join();
    std::lock_guard<std::mutex> lock(sendMutex);
    std::string answer;
    if (!sendQueue.empty()) {
        answer = std::move(sendQueue.front());
        sendQueue.clear();
    }
    return answer;
}

// Takes the next order (an interrupted one first) and carries it out: its answer is stored and
// queued for the broker.
void runNextOrder(const zorcommon::Logger& log) {
    if (!interruptedOrders.empty()) {
        ReceiptSpool::Entry entry = std::move(interruptedOrders.front());
        interruptedOrders.pop_front();
        ZLOG_W(log, "[{}:{}] in startMain loop : interrupted order : {} : Receive Data -> {}",
               kInterruptedError, entry.text);
        zorcommon::flushLog(log);
        answerUnrun(log, entry, kInterruptedError);
        return;
    }
    ReceiptSpool::Entry entry;
    const std::size_t held = spool ? spool->count() : 0;
    if (!spool || !spool->next(entry)) {
        return;
    }
    ZLOG_I(log, "[{}:{}] in startMain loop : have Receive Data cnt -> {}", held);
    std::string error;
    if (!spool->markStarted(entry.seq, error)) {
        // Run unmarked, a crash during it would run it once more: it is not run at all.
        ZLOG_E(log, "[{}:{}] in startMain loop : order not executed : {} : Receive Data -> {}",
               error, entry.text);
        zorcommon::flushLog(log);
        answerUnrun(log, entry, "not executed: " + error);
        return;
    }
    ZLOG_I(log, "[{}:{}] in startMain loop : start Execute Thread : Receive Data -> {}",
           entry.text);
    zorcommon::flushLog(log);
    runningSeq.store(entry.seq);
    std::string answer = runOnOrderThread(std::move(entry.text));
    runningSeq.store(0);
    ZLOG_I(log, "[{}:{}] in startMain loop : end Execute Thread (join)");
    zorcommon::flushLog(log);
    if (answer.empty()) {
        spool->remove(entry.seq);
    } else {
        settleAnswer(log, entry.seq, std::move(answer));
    }
}

// Logs (error) when the spool folder was removed while the agent ran; the spool makes it again.
void noteSpoolFolderLoss(const zorcommon::Logger& log) {
    std::size_t lost = 0;
    if (spool && spool->restoreFolder(lost)) {
        ZLOG_E(log,
               "[{}:{}] in startMain loop : order spool folder {} was removed : made again : "
               "waiting orders lost -> {}",
               spool->dir(), lost);
        zorcommon::flushLog(log);
    }
}

// Start-up up to the point where orders may arrive; see initMain.
int initSteps(const std::string& configPath);

// Takes the lock files of the database folder and the spool folder (made if missing) before
// either is touched: a second agent on the same folders stops here and changes nothing. A
// folder that cannot be used is left to the steps that use it, which report it.
bool lockFolders(std::string& error) {
    const std::string dbDir = setting->getStringValue("DB_PATH");
    const std::string spoolDir = setting->getStringValue("SPOOL_DIR");
    const char* const name = "/cee-agent.lock";
    if (!dbDir.empty() && zorcommon::makeDirectories(dbDir) == 0 &&
        databaseLock.acquire(dbDir + name, error) == InstanceLock::Result::Held) {
        error = "database folder " + dbDir + " " + error;
        return false;
    }
    if (spoolDir.empty() || spoolDir == dbDir) {
        return true;
    }
    zorcommon::makeDirectories(spoolDir.substr(0, spoolDir.find_last_of('/')));
    ::mkdir(spoolDir.c_str(), 0700);
    if (spoolLock.acquire(spoolDir + name, error) == InstanceLock::Result::Held) {
        error = "order spool folder " + spoolDir + " " + error;
        return false;
    }
    return true;
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
    const int rc = initSteps(configPath);
    noteSignal();  // a signal during start-up is logged too
    if (rc != 0) {
        // The manager's MQTT delivery thread uses the logger: it goes first.
        connectionManager.reset();
    }
    return rc;
}

namespace {
int initSteps(const std::string& configPath) {
    data::SettingData::createInstance(configPath);
    setting = data::SettingData::getInstance();

    std::string error;
    logger = zorcommon::createRotatingLogger(
        "cee", setting->getStringValue("LOG_DIR"), setting->getStringValue("LOG_FILE"),
        setting->getIntValue("LOG_MAX_BYTES"), setting->getIntValue("LOG_COUNTS"), error);
    if (!logger) {
        std::cerr << "cee-agent: cannot open log file " << setting->getStringValue("LOG_DIR") << "/"
                  << setting->getStringValue("LOG_FILE") << " in log folder "
                  << setting->getStringValue("LOG_DIR") << " : " << error << std::endl;
        return 1;
    }
    zorcommon::logPlain(logger, "===========================================");
    ZLOG_I(logger, "[{}:{}] Start Command Execution Environment.");
    zorcommon::flushLog(logger);

    if (signalSetupFailed) {
        ZLOG_E(logger, "[{}:{}] Error: set signal handler");
        zorcommon::flushLog(logger);
    }

    connectionManager = std::make_unique<conn::ConnectionManager>();
    displaySettings();

    ZLOG_I(logger, "[{}:{}] in initMain : MQTT connect status >>>");
    ZLOG_I(logger, "[{}:{}]   connect status  -> {}", connectionManager->getConnectStatus());
    ZLOG_I(logger, "[{}:{}]   status (stage)  -> {}", connectionManager->getStage());
    zorcommon::logPlain(logger, "-----------------------------------------\n");
    zorcommon::flushLog(logger);

    // The database and the spool come before the connection: the broker hands over orders
    // queued for the session as soon as it is connected, and the client acknowledges them on
    // arrival, so a start that fails later would lose them.
    if (!lockFolders(error)) {
        ZLOG_E(logger, "[{}:{}] in initMain : not started : {}", error);
        zorcommon::flushLog(logger);
        std::cerr << "cee-agent: not started: " << error << std::endl;
        return 1;
    }
    zorcommon::setBusyTimeoutMs(setting->getIntValue("BUSY_TIMEOUT_MS"));
    db::DbController controller;
    const std::string dbDir = setting->getStringValue("DB_PATH");
    const int dbResult =
        controller.init(dbDir, setting->getStringValue("DB_FILE"),
                        setting->getStringValue("LOCK_CEE"), setting->getStringValue("LOCK_UPD"));
    ZLOG_I(logger, "[{}:{}] in initMain : DB init -> {} ({})", successText(dbResult), dbResult);
    if (dbResult != 0) {
        ZLOG_I(logger, "[{}:{}] in initMain : DB init failed !!!!!");
        zorcommon::flushLog(logger);
        std::cerr << "cee-agent: cannot prepare the database " << setting->getStringValue("DB_FILE")
                  << " in database folder " << dbDir << " (DB init -> " << dbResult << ")"
                  << std::endl;
        return 1;
    }

    walKeeper = std::make_unique<db::WalKeeper>();
    holdWriteAheadLog();

    spool = std::make_unique<ReceiptSpool>(setting->getStringValue("SPOOL_DIR"), kSpoolMaxOrders,
                                           kSpoolMaxBytes);
    if (!spool->open(error)) {
        ZLOG_E(logger, "[{}:{}] in initMain : order spool -> failed : {}", error);
        zorcommon::flushLog(logger);
        std::cerr << "cee-agent: " << error << std::endl;
        spool.reset();
        return 1;
    }
    for (auto& entry : spool->takeInterrupted()) {
        interruptedOrders.push_back(std::move(entry));
    }
    for (auto& entry : spool->takeAnswers()) {
        waitingAnswers.push_back(std::move(entry));
    }
    ZLOG_I(logger,
           "[{}:{}] in initMain : order spool -> {} : orders -> {} : interrupted -> {} : "
           "answers -> {}",
           spool->dir(), spool->count(), interruptedOrders.size(), waitingAnswers.size());
    zorcommon::flushLog(logger);
    db::DbController::setRowListener(noteRow);

    ZLOG_I(logger, "[{}:{}] in initMain : Start MQTT Connect >>>");
    const int conn = connectionManager->initConn();
    ZLOG_I(logger, "[{}:{}] in initMain : initConn : MQTT Connect -> {} ({})", successText(conn),
           conn);
    if (conn != 0) {
        zorcommon::flushLog(logger);
        return 1;
    }
    const int subscribed = connectionManager->setReceiver(subscribeFunction);
    if (subscribed != 0) {
        // The library subscribes again at every reconnect; orders come once the broker agrees.
        ZLOG_E(logger, "[{}:{}] in initMain : setReceiver -> failed ({}) : no subscription",
               subscribed);
        zorcommon::flushLog(logger);
    }
    return 0;
}
}  // namespace

void startMain() {
    // The handle was set in initMain; the lookup finds the same logger.
    const auto log = spdlog::get("cee");
    ZLOG_I(log, "[{}:{}] in startMain : === Waiting to receive instructions from the server ===");
    zorcommon::flushLog(log);

    openWakePipe();
    bool heldBack = false;
    while (stopFlag.load() == 0) {
        sleepOnePass();
        noteSignal();
        noteSpoolFolderLoss(log);

        // After a stop signal no order starts: the rest stay in the spool for the next start.
        // Nor while too many answers wait for the broker.
        const bool holdBack = waitingAnswers.size() >= kMaxWaitingAnswers;
        if (holdBack && !heldBack) {
            ZLOG_W(log,
                   "[{}:{}] in startMain loop : {} answers wait for the broker : no order "
                   "starts until they are acknowledged",
                   waitingAnswers.size());
            zorcommon::flushLog(log);
        }
        heldBack = holdBack;
        if (stopFlag.load() == 0 && !holdBack) {
            holdWriteAheadLog();
            runNextOrder(log);
        }
        publishAnswers(log);
        publishRefusals();
        if (spool) {
            spool->tidy();
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
        noteSignal();
    }
    ZLOG_I(log, "[{}:{}] in startMain : exit loop ");
    zorcommon::flushLog(log);
    // The last connection: the log goes into the database file, which alone holds every row.
    walKeeper.reset();
}

void endMain() {
    ZLOG_I(logger, "[{}:{}] in endMain : delete objects");
    zorcommon::flushLog(logger);
    // Orders the library received but had not handed over yet are spooled during this.
    connectionManager.reset();
    walKeeper.reset();
    data::SettingData::destroyInstance();
    setting = nullptr;
}

void installSignalHandlers() {
    openWakePipe();
    for (const int sig : {SIGINT, SIGTERM}) {
        signalSetupFailed = std::signal(sig, signal_handler) == SIG_ERR || signalSetupFailed;
    }
    for (const int sig : {SIGHUP, SIGUSR1}) {
        signalSetupFailed = std::signal(sig, noteIgnoredSignal) == SIG_ERR || signalSetupFailed;
    }
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
        if (getReceiveRetained() != 0) {
            ZLOG_W(logger,
                   "[{}:{}] in subscribeFunction : retained message is not executed : orders "
                   "reach a terminal through its session; a retained one would run again at "
                   "every subscription");
            zorcommon::flushLog(logger);
            return;
        }
        // Orders for other terminals and orders that cannot run are settled here, so they
        // neither fill the spool nor wait in line before this terminal's own orders. The text
        // is read where the MQTT library holds it, not copied, and the payload is not kept:
        // the checks and the refusal answer (whose data.value is "") do without it.
        const std::string_view text(message);
        const auto cmd = CreateCmdInfoObj(text, false);
        if (!isOwnOrder(*cmd)) {
            return;
        }
        std::string error = "no order spool";
        const auto added = spool ? spool->add(topic != nullptr ? topic : "", text,
                                              getReceiveDuplicate() != 0, error)
                                 : ReceiptSpool::AddResult::Failed;
        if (added == ReceiptSpool::AddResult::Added) {
            ZLOG_D(logger, "[{}:{}] in subscribeFunction : add Receive Queue");
            zorcommon::flushLog(logger);
            return;
        }
        if (added == ReceiptSpool::AddResult::Duplicate) {
            // The broker did not see our acknowledgement: the first copy runs (or ran) and is
            // answered; this one is not run again.
            ZLOG_W(logger,
                   "[{}:{}] in subscribeFunction : redelivered order already received : "
                   "not executed again");
            zorcommon::flushLog(logger);
            return;
        }
        if (errorLogDue()) {
            ZLOG_E(logger, "[{}:{}] in subscribeFunction : order not accepted : {}", error);
            zorcommon::flushLog(logger);
        }
        std::string answer = failedAnswer(*cmd, "not executed: " + error);
        std::lock_guard<std::mutex> lock(refusalMutex);
        if (refusalBytes + answer.size() <= kMaxRefusalBytes) {
            refusalBytes += answer.size();
            refusalQueue.push_back(std::move(answer));
        } else {
            ZLOG_E(logger, "[{}:{}] in subscribeFunction : too many refused orders : no answer");
        }
    } catch (const std::exception& e) {
        // Called from the MQTT library's C thread: nothing may escape.
        std::cerr << "subscribeFunction: " << e.what() << std::endl;
    }
}

std::unique_ptr<CmdInfoBase> CreateCmdInfoObj(std::string_view orderText, bool withPayload) {
    ZLOG_I(logger, "[{}:{}] in CreateCmdInfoObj");
    picojson::value parsed;
    const std::string err =
        zorcommon::parseJson(parsed, orderText, zorcommon::kMaxJsonDepth, !withPayload);
    if (!err.empty()) {
        ZLOG_W(logger, "[{}:{}] in CreateCmdInfoObj : json parse error : {}", err);
        zorcommon::flushLog(logger);
        return std::make_unique<CmdInfoBase>(std::move(parsed));
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
                    return entry.factory(std::move(parsed));
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
    return std::make_unique<CmdInfoBase>(std::move(parsed));
}

void executeServerOrderThread(std::mutex& sendMtx, std::mutex& resultMtx, std::string orderText) {
    // Runs on its own thread: nothing may escape it.
    try {
        ZLOG_I(logger, "[{}:{}] in executeServerOrderThread");
        zorcommon::flushLog(logger);
        const auto cmd = CreateCmdInfoObj(orderText);
        std::string().swap(orderText);  // the command holds the parsed order: free the text
        if (!isOwnOrder(*cmd)) {
            return;
        }
        ZLOG_D(logger,
               "[{}:{}] in executeServerOrder : !!!!! EXECUTE !!!!! : platform -> {}, group -> "
               "{}, substrate code -> {}",
               setting->getPlatform(), setting->getGroupName(), setting->getSubstrateCode());
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
            std::string output = cmd->getOutputData();
            ZLOG_D(logger, "[{}:{}] in executeServerOrder : !!!!! RESULT !!!!! : result str -> {}",
                   output);
            std::lock_guard<std::mutex> lock(sendMtx);
            sendQueue.push_back(std::move(output));
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
    return spool ? spool->count() : 0;
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
