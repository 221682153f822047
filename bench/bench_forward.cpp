// Measures the agent's own cost per forwarded order, with the logger application stand-in on
// loopback and the database and log in one folder (local disk or tmpfs, --dir). Each iteration
// runs, one after the other:
//   agent   a whole order through the dispatch code (order thread start to answer queued),
//           then the same on the calling thread, and an empty thread started and joined
//   steps   the same order driven unit by unit: parse + target check, database insert, HTTP
//           POST, database update, answer rewrite + serialisation; then the database opened
//           and closed alone, without a statement of the order's
//   floor   a bare libcurl POST of the same body to the same logger-sim (what the order costs
//           without the agent)
//   sqlite  the same INSERT / SELECT / UPDATE on a bare SQLite connection with prepared
//           statements kept open, in the agent's journal mode (WAL, synchronous FULL): the
//           database's own commit cost
// As in the agent, a WalKeeper holds the database's write-ahead log between the orders' own
// connections.
// fdatasync/fsync calls are counted by interposing them in this program.
//
// Usage: bench_forward LOGGER_SIM [ORDERS] [--runs N] [--dir PARENT] [--label NAME]
//   (defaults: 1000 orders, 1 run, the system's temporary folder, label "tmp")
// Prints one "run" line per metric and run (medians and 99th percentiles in microseconds,
// fsync counts per order) for scripts/bench.sh, then a short summary. Exit status 1 when an
// order was not answered.
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Base64.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "Logging.h"
#include "SettingData.h"
#include "WalKeeper.h"
#include "cmd_exec_env.h"

// Counting wrappers: the program's own definitions take precedence over the C library's for
// every shared library (SQLite calls fdatasync through its PLT).
namespace {
std::atomic<long> syncCalls{0};
template <typename Fn>
Fn nextSymbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
    static const auto real = nextSymbol<int (*)(int)>("fsync");
    syncCalls.fetch_add(1);
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    static const auto real = nextSymbol<int (*)(int)>("fdatasync");
    syncCalls.fetch_add(1);
    return real(fd);
}

namespace {

using Clock = std::chrono::steady_clock;

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// logger-sim as a child process; its first line tells the port it listens on.
struct LoggerSim {
    pid_t pid = -1;
    int port = 0;
    explicit LoggerSim(const std::string& binary) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            const int devnull = ::open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);
            execl(binary.c_str(), binary.c_str(), "--port", "0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        FILE* out = fdopen(fds[0], "r");
        char line[256] = {};
        if (out != nullptr && fgets(line, sizeof line, out) != nullptr) {
            std::sscanf(line, "listening on %d", &port);
        }
        // Keep reading (and dropping) what it prints, so that it never blocks on a full pipe.
        std::thread([out] {
            char buf[4096];
            while (out != nullptr && fread(buf, 1, sizeof buf, out) > 0) {
            }
        }).detach();
    }
    ~LoggerSim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

size_t appendBody(char* data, size_t size, size_t count, void* userp) {
    static_cast<std::string*>(userp)->append(data, size * count);
    return size * count;
}

// The floor: the least a program can do to POST the body and read the answer.
bool barePost(const std::string& url, const std::string& body, std::string& answer) {
    CURL* h = curl_easy_init();
    if (h == nullptr) {
        return false;
    }
    answer.clear();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_cleanup(h);
    return rc == CURLE_OK;
}

// The same statements as the agent's, on one connection with statements prepared once, in the
// agent's journal mode: what SQLite itself needs to record an order (two autocommit transactions
// and the id look-up).
class BareRecorder {
  public:
    explicit BareRecorder(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            return;
        }
        sqlite3_exec(db_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL", nullptr, nullptr,
                     nullptr);
        sqlite3_exec(db_,
                     "CREATE TABLE [command_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
                     "[command_json] VARCHAR (32), [recv_xml] TEXT, [server_time_str] DATETIME, "
                     "[upd_command_id] VARCHAR (16), [upd_cmd_req_id] VARCHAR (128), "
                     "[upd_command_type] INTEGER DEFAULT '-1', [upd_sched_exec_time] DATETIME, "
                     "[res_error_str] TEXT, [res_result] INTEGER, [res_result_str] TEXT, "
                     "[res_http_time] DATETIME, [create_time] DATETIME NOT NULL DEFAULT "
                     "CURRENT_TIMESTAMP, [update_time] DATETIME );",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db_,
                           "INSERT INTO command_info ( command_json, recv_xml, server_time_str ) "
                           "VALUES ( ?, ?, ? )",
                           -1, &insert_, nullptr);
        sqlite3_prepare_v2(db_,
                           "SELECT MAX(id) FROM command_info WHERE command_json = ? AND "
                           "server_time_str = ?",
                           -1, &select_, nullptr);
        sqlite3_prepare_v2(db_,
                           "UPDATE command_info SET res_error_str = ?, res_result = ?, "
                           "res_result_str = ?, res_http_time = CURRENT_TIMESTAMP, update_time = "
                           "CURRENT_TIMESTAMP WHERE id = ?",
                           -1, &update_, nullptr);
    }
    ~BareRecorder() {
        sqlite3_finalize(insert_);
        sqlite3_finalize(select_);
        sqlite3_finalize(update_);
        sqlite3_close(db_);
    }
    BareRecorder(const BareRecorder&) = delete;
    BareRecorder& operator=(const BareRecorder&) = delete;

    bool ok() const { return insert_ != nullptr && select_ != nullptr && update_ != nullptr; }

    bool record(const std::string& name, const std::string& request, const std::string& time,
                const std::string& answer) {
        text(insert_, 1, name);
        text(insert_, 2, request);
        text(insert_, 3, time);
        bool good = step(insert_) == SQLITE_DONE;
        text(select_, 1, name);
        text(select_, 2, time);
        const int id = step(select_) == SQLITE_ROW ? sqlite3_column_int(select_, 0) : 0;
        sqlite3_reset(select_);
        text(update_, 1, "");
        sqlite3_bind_int(update_, 2, 0);
        text(update_, 3, answer);
        sqlite3_bind_int(update_, 4, id);
        good = step(update_) == SQLITE_DONE && good && id > 0;
        return good;
    }

  private:
    static void text(sqlite3_stmt* s, int pos, const std::string& v) {
        sqlite3_bind_text(s, pos, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    static int step(sqlite3_stmt* s) {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(s);
        }
        return rc;
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
};

// Samples of one metric in one run.
struct Series {
    std::vector<double> values;
    double quantile(double q) const {
        if (values.empty()) {
            return 0;
        }
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    }
};

struct Options {
    std::string loggerSim;
    int orders = 1000;
    int runs = 1;
    std::string parent;
    std::string label = "tmp";
};

bool parseOptions(int argc, char** argv, Options& o) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--runs" || a == "--dir" || a == "--label") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--runs") {
                o.runs = std::atoi(v.c_str());
            } else if (a == "--dir") {
                o.parent = v;
            } else {
                o.label = v;
            }
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        return false;
    }
    o.loggerSim = positional[0];
    if (positional.size() == 2) {
        o.orders = std::atoi(positional[1].c_str());
    }
    if (o.parent.empty()) {
        o.parent = std::filesystem::temp_directory_path().string();
    }
    return o.orders > 0 && o.runs > 0;
}

const char* const kMetrics[] = {"agent",     "agent_inline", "thread",    "parse_target",
                                "db_insert", "http_post",    "db_update", "answer",
                                "steps_sum", "floor",        "sqlite",    "db_open_close"};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        std::cerr << "usage: bench_forward LOGGER_SIM [ORDERS] [--runs N] [--dir PARENT] "
                     "[--label NAME]"
                  << std::endl;
        return 64;
    }
    // SQLite set up as in the agent (before its first use, the bare recorder's too).
    zorcee::db::configureSqlite();
    LoggerSim sim(opt.loggerSim);
    if (sim.port == 0) {
        std::cerr << "logger-sim did not start" << std::endl;
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(sim.port) + "/";

    const std::string tmpl = opt.parent + "/cee-bench-XXXXXX";
    std::vector<char> tmplBuf(tmpl.begin(), tmpl.end());
    tmplBuf.push_back('\0');
    if (mkdtemp(tmplBuf.data()) == nullptr) {
        std::cerr << "cannot create a folder in " << opt.parent << std::endl;
        return 1;
    }
    const std::string dir = tmplBuf.data();
    // The agent's defaults but for the paths (log size and count as shipped).
    std::ofstream(dir + "/cee.conf")
        << "{\"PLATFORM\": \"bench\", \"CMD_SUBSTRATE_CODE\": \"echo B-1\", \"FILE_GROUP\": \""
        << dir << "/group\", \"LOG\": {\"LOG_DIR\": \"" << dir << "/log\"}, "
        << "\"QMT_HTTP\": {\"URL\": \"" << url << "\"}, \"DATABASE\": {\"DB_PATH\": \"" << dir
        << "/db\"}}";
    zorcee::data::SettingData::createInstance(dir + "/cee.conf");
    auto* setting = zorcee::data::SettingData::getInstance();
    std::string error;
    auto log = zorcommon::createRotatingLogger(
        "cee", setting->getStringValue("LOG_DIR"), setting->getStringValue("LOG_FILE"),
        setting->getIntValue("LOG_MAX_BYTES"), setting->getIntValue("LOG_COUNTS"), error);
    if (!log) {
        std::cerr << "set-up failed " << error << std::endl;
        return 1;
    }
    zorcee::attachObjects(std::make_unique<zorcee::conn::ConnectionManager>());
    zorcee::conn::ConnectionManager stepManager;
    const std::string dbPath = setting->getStringValue("DB_PATH");
    const std::string dbFile = setting->getStringValue("DB_FILE");

    const std::string request =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest id=\"1\"><command>"
        "ReadFromEchonetDevice</command><requestData><p x=\"1\">0x02</p><p x=\"2\">0x88</p>"
        "</requestData></commandRequest>";
    const std::string order =
        R"({"order":{"type":"cmd","indicate":"ReadFromEchonetDevice","target":{"platform":)"
        R"(["bench"],"group":["all"],"terminal":["*"]}},"data":{"value":")" +
        zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(request.data()),
                                request.size()) +
        R"("},"timestamp":"2026/12/06 10:00:00"})";

    std::mutex sendMutex;
    std::mutex resultMutex;
    size_t answered = 0;
    size_t failures = 0;
    long agentSyncs = 0;
    long bareSyncs = 0;
    long totalOrders = 0;
    for (int run = 1; run <= opt.runs; ++run) {
        // Every run starts from an empty database, as on a freshly installed terminal.
        std::filesystem::remove_all(dbPath);
        zorcee::db::DbController init;
        if (init.init(dbPath, dbFile, "db_cee.lock", "db_upd.lock") != 0) {
            std::cerr << "database set-up failed" << std::endl;
            return 1;
        }
        zorcee::db::WalKeeper keeper;
        keeper.refresh(dbPath + "/" + dbFile);
        BareRecorder bare(dir + "/bare-" + std::to_string(run) + ".db");
        if (!bare.ok()) {
            std::cerr << "bare SQLite set-up failed" << std::endl;
            return 1;
        }
        std::map<std::string, Series> m;
        long runAgentSyncs = 0;
        long runRecordSyncs = 0;
        long runBareSyncs = 0;
        for (int i = 0; i < opt.orders; ++i) {
            // The whole order, as the main loop runs it.
            const size_t queuedBefore = zorcee::pendingSendCount();
            long syncs = syncCalls.load();
            auto t = Clock::now();
            std::thread worker(zorcee::executeServerOrderThread, std::ref(sendMutex),
                               std::ref(resultMutex), order);
            worker.join();
            m["agent"].values.push_back(microsSince(t));
            runAgentSyncs += syncCalls.load() - syncs;
            answered += zorcee::pendingSendCount() - queuedBefore;

            // The same on the calling thread, and an empty thread: what starting the order
            // thread costs by itself.
            t = Clock::now();
            zorcee::executeServerOrderThread(sendMutex, resultMutex, order);
            m["agent_inline"].values.push_back(microsSince(t));
            t = Clock::now();
            std::thread([] {}).join();
            m["thread"].values.push_back(microsSince(t));

            // The same order, unit by unit, as CmdInfoBaseXmlCmd::execCommand runs it.
            t = Clock::now();
            const auto start = t;
            auto cmd = zorcee::CreateCmdInfoObj(order);
            const bool target = cmd->isExecTarget(setting->getPlatform(), setting->getGroupName(),
                                                  setting->getSubstrateCode());
            const std::string req = cmd->choiseDataValue();
            const std::string serverTime = cmd->choiseTimestamp();
            m["parse_target"].values.push_back(microsSince(t));

            syncs = syncCalls.load();
            t = Clock::now();
            zorcee::db::DbController db;
            const bool opened = db.open(dbPath, dbFile);
            const int id = opened ? db.insertCommandInfoBasic(cmd->getName(), req, serverTime) : 0;
            m["db_insert"].values.push_back(microsSince(t));

            t = Clock::now();
            std::string answer;
            const int status = stepManager.httpSendPost(setting->getHttpUrl(), req, answer);
            m["http_post"].values.push_back(microsSince(t));

            t = Clock::now();
            const int updated = db.updateCommandInfoAtId(id, "", status, answer);
            db.close();
            m["db_update"].values.push_back(microsSince(t));
            runRecordSyncs += syncCalls.load() - syncs;

            t = Clock::now();
            cmd->reWriteData4Return(status, cmd->encodeDataValue(answer));
            cmd->eraseTarget();
            cmd->reWriteTimestamp();
            const std::string out = cmd->getOutputData();
            m["answer"].values.push_back(microsSince(t));
            m["steps_sum"].values.push_back(microsSince(start));
            if (!target || !opened || id < 1 || status != 0 || updated != 1 || out.empty()) {
                ++failures;
            }

            // The database opened and closed by itself, as each order does around its
            // statements (lock file, connection, schema read, settings).
            t = Clock::now();
            {
                zorcee::db::DbController alone;
                if (!alone.open(dbPath, dbFile)) {
                    ++failures;
                }
                alone.close();
            }
            m["db_open_close"].values.push_back(microsSince(t));

            // Without the agent.
            t = Clock::now();
            std::string floorAnswer;
            if (!barePost(url, req, floorAnswer) || floorAnswer != answer) {
                ++failures;
            }
            m["floor"].values.push_back(microsSince(t));

            syncs = syncCalls.load();
            t = Clock::now();
            if (!bare.record(cmd->getName(), req, serverTime, answer)) {
                ++failures;
            }
            m["sqlite"].values.push_back(microsSince(t));
            runBareSyncs += syncCalls.load() - syncs;
        }
        for (const char* name : kMetrics) {
            const Series& s = m[name];
            std::printf("run %s %d %s median_us %.1f p99_us %.1f n %zu\n", opt.label.c_str(), run,
                        name, s.quantile(0.5), s.quantile(0.99), s.values.size());
        }
        std::printf("run %s %d fsync_agent per_order %.2f\n", opt.label.c_str(), run,
                    static_cast<double>(runAgentSyncs) / opt.orders);
        std::printf("run %s %d fsync_record per_order %.2f\n", opt.label.c_str(), run,
                    static_cast<double>(runRecordSyncs) / opt.orders);
        std::printf("run %s %d fsync_sqlite per_order %.2f\n", opt.label.c_str(), run,
                    static_cast<double>(runBareSyncs) / opt.orders);
        std::fflush(stdout);
        agentSyncs += runAgentSyncs;
        bareSyncs += runBareSyncs;
        totalOrders += opt.orders;
    }
    std::printf(
        "orders: %ld, answers queued: %zu, failed steps: %zu, fsync per order: agent "
        "%.2f, bare SQLite %.2f\n",
        totalOrders, answered, failures, static_cast<double>(agentSyncs) / totalOrders,
        static_cast<double>(bareSyncs) / totalOrders);
    zorcee::attachObjects(nullptr);
    zorcee::data::SettingData::destroyInstance();
    std::filesystem::remove_all(dir);
    return answered == static_cast<size_t>(totalOrders) && failures == 0 ? 0 : 1;
}
