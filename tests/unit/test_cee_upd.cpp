// cee-updater's core: start-up and shutdown, the alive check, signals arriving while a command
// runs, the installed-version query, package list files, the package updater, result files and
// the finish command, the storage battery check, and whole update runs on update jobs written
// by the agent's own update command.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"
#include "updater/cee_upd.h"

using zorupd::cee_upd;
using zorupd::data::SettingData;

namespace {

std::string withoutLineNumbers(const std::string& text) {
    static const std::regex prefix(R"(\[([^\]:]+):\d+\])");
    return std::regex_replace(text, prefix, "[$1]");
}

// Settings of the updater with every path in `tmp`; `extra` adds top-level members.
std::string updaterConf(const testutil::TempDir& tmp, const std::string& pingServer,
                        const std::string& extra = "") {
    return R"({"ALIVE_CHECK": {"PING_SERVER": ")" + pingServer +
           R"(", "PING_NUM": 3}, "LOG": {"LOG_DIR": ")" + tmp.file("log") +
           R"("}, "DATABASE": {"DB_PATH": ")" + tmp.file("db") + "\"}" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

class CeeUpdTest : public ::testing::Test {
  protected:
    void useSettings(const std::string& pingServer, const std::string& extra = "") {
        testutil::writeFile(tmp.file("cee_upd.conf"), updaterConf(tmp, pingServer, extra));
        SettingData::createInstance(tmp.file("cee_upd.conf"));
    }
    void TearDown() override { SettingData::destroyInstance(); }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"upd"};
};

}  // namespace

TEST_F(CeeUpdTest, AliveCheckSendsOnePingAndReportsTheOutcome) {
    useSettings("127.0.0.1");
    cee_upd updater;
    EXPECT_EQ(updater.checkAlive(), 0);
    // PING_NUM 3 is kept in the settings, yet exactly one ping command with one packet runs.
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [cee_upd.cpp] : <<< pingCmd --> (/bin/ping -c 1 127.0.0.1 > /dev/null 2>&1) "
              "(ret: 0) >>>\n"
              "I : [cee_upd.cpp] : <<< nework reached : ping success --> (0) (remote: "
              "127.0.0.1) >>>\n");

    SettingData::destroyInstance();
    useSettings("0.0.0.1");
    cee_upd unreachable;
    log.clear();
    EXPECT_EQ(unreachable.checkAlive(), -4);  // ping exits non-zero
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [cee_upd.cpp] : <<< pingCmd --> (/bin/ping -c 1 0.0.0.1 > /dev/null 2>&1) "
              "(ret: -4) >>>\n"
              "W : [cee_upd.cpp] : <<< network down : ping filed --> (-4) (remote: 0.0.0.1) "
              ">>>\n");
}

TEST_F(CeeUpdTest, StartUpSignalWhileACommandRunsAndShutdown) {
    testutil::writeFile(tmp.file("mqtt_if.conf"),
                        R"({"BROKER_URI": "tcp://127.0.0.1:9", "CONNECT_TIMEOUT_S": 1,
                            "PERSISTENCE_DIR": ""})");
    setenv("MQTT_IF_CONF", tmp.file("mqtt_if.conf").c_str(), 1);
    testutil::writeFile(tmp.file("cee_upd.conf"), updaterConf(tmp, "127.0.0.1"));
    ASSERT_EQ(zorupd::initMain(tmp.file("cee_upd.conf")), 0);
    unsetenv("MQTT_IF_CONF");
    const std::string logFile = tmp.file("log") + "/cee_upd.log";
    std::string text = withoutLineNumbers(testutil::readFile(logFile));
    EXPECT_NE(text.find(" I : ===========================================\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(" I : [cee_upd.cpp] Start Command Execution Environment.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" I : [ConnectionManagerUpd.cpp] in ConnectionManager\n"),
              std::string::npos)
        << text;
    // No broker: the failure is logged and ignored.
    EXPECT_NE(text.find("in initConn : setup(APP_CMD) -> failed"), std::string::npos) << text;
    ASSERT_NE(zorupd::connectionManager(), nullptr);
    EXPECT_EQ(zorupd::connectionManager()->getStage(), -3);

    // The command signals this process while the updater waits for it: the handler only
    // records the number, the command's result stands and the program goes on.
    cee_upd updater;
    EXPECT_EQ(updater.execCmdCheck("kill -TERM $PPID; sleep 0.1; echo done"), 0);
    EXPECT_EQ(updater.execCmdCheck("kill -INT $PPID; exit 3"), -4);
    EXPECT_EQ(zorupd::lastSignal(), SIGINT);
    zorupd::noteSignal();
    zorupd::noteSignal();  // logged once
    zorupd::endMain();
    EXPECT_EQ(zorupd::connectionManager(), nullptr);
    EXPECT_EQ(SettingData::getInstance(), nullptr);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);

    text = withoutLineNumbers(testutil::readFile(logFile));
    // Each signal once, on the main thread, before the closing lines.
    const std::string termLine = " I : [cee_upd.cpp] in signal_handler : receive signal -> 15\n";
    const std::string intLine = " I : [cee_upd.cpp] in signal_handler : receive signal -> 2\n";
    const auto signalLine = text.find(termLine);
    EXPECT_NE(signalLine, std::string::npos) << text;
    EXPECT_EQ(text.find(termLine, signalLine + 1), std::string::npos) << text;
    EXPECT_NE(text.find(intLine), std::string::npos) << text;
    EXPECT_EQ(text.find(intLine, text.find(intLine) + 1), std::string::npos) << text;
    // The last two lines: endMain's line and the separator.
    const auto end = text.rfind(" I : [cee_upd.cpp] in endMain : finished!\n");
    ASSERT_NE(end, std::string::npos) << text;
    EXPECT_LT(signalLine, end);
    const std::string tail = text.substr(end);
    EXPECT_EQ(tail.substr(tail.find('\n') + 1 + 19),
              " I : ===========================================\n")
        << text;
    spdlog::drop("upd");
}

TEST_F(CeeUpdTest, LogThatCannotBeCreatedEndsStartUp) {
    testutil::writeFile(tmp.file("log"), "a file where the log folder should be");
    testutil::writeFile(tmp.file("cee_upd.conf"), updaterConf(tmp, "127.0.0.1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(zorupd::initMain(tmp.file("cee_upd.conf")), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cee-updater: cannot open log file " + tmp.file("log") + "/cee_upd.log"),
              std::string::npos)
        << err;
    EXPECT_EQ(SettingData::getInstance(), nullptr);
    EXPECT_EQ(zorupd::connectionManager(), nullptr);
}

TEST_F(CeeUpdTest, RunWithoutDatabaseOrWithALeftoverLock) {
    useSettings("127.0.0.1");
    {
        cee_upd updater;
        EXPECT_EQ(updater.runUpdateProcess(), -1);
        EXPECT_EQ(withoutLineNumbers(log.text()),
                  "I : [cee_upd.cpp] : === start update process. ===\n"
                  "W : [cee_upd.cpp] Database file is not found. -> 2\n");
        EXPECT_FALSE(testutil::exists(tmp.file("db")));  // never created
    }
    SettingData::destroyInstance();
    useSettings("127.0.0.1",
                R"("DATABASE": {"DB_PATH": ")" + tmp.file("db") + R"(", "DB_FILE": ""})");
    {
        // (The later DATABASE member replaces the first.)
        cee_upd updater;
        log.clear();
        EXPECT_EQ(updater.runUpdateProcess(), -1);
        EXPECT_TRUE(log.contains("] Database file is not found. -> 1\n")) << log.text();
    }
    SettingData::destroyInstance();
    useSettings("127.0.0.1");
    {
        zorcee::db::DbController agent;
        ASSERT_EQ(agent.init(tmp.file("db"), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }
    // The lock file of another updater that is still running: this start stays out and
    // leaves that lock file in place.
    const std::string lock = tmp.file("db") + "/db_upd.lock";
    zorcommon::DbLock running(tmp.file("db"), "db_upd.lock", 2);
    ASSERT_TRUE(running.createLockFile());
    cee_upd updater;
    log.clear();
    EXPECT_EQ(updater.runUpdateProcess(), -2);
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [cee_upd.cpp] : === start update process. ===\n"
              "I : [DbUpdController.cpp] in open : create lock file [RO] -> failed!\n"
              "W : [cee_upd.cpp] Database open failed. -> false\n"
              "I : [DbUpdController.cpp] in close : remove lock file [RO] -> success\n");
    EXPECT_TRUE(testutil::exists(lock));
    // Once its holder is gone the file is stale: the next start takes it over and runs.
    ASSERT_TRUE(running.releaseLockFile());
    testutil::writeFile(lock, "");
    EXPECT_EQ(updater.runUpdateProcess(), 1);
    EXPECT_FALSE(testutil::exists(lock));
}

TEST_F(CeeUpdTest, NothingDueEndsWithRollbackAndLeavesTheDatabaseAlone) {
    useSettings("127.0.0.1");
    const std::string dbDir = tmp.file("db");
    {
        zorcee::db::DbController agent;
        ASSERT_EQ(agent.init(dbDir, "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dbDir + "/cee_pkg_upd.db").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "INSERT INTO command_info ( command_json, upd_command_id, "
                           "upd_command_type ) VALUES ( 'UpdateLogger', '5', 0 );"
                           "INSERT INTO proc_info ( command_info_id, sched_proc_time ) VALUES ( "
                           "1, datetime( 'now', '+9 hours', '+30 minutes' ) );",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    cee_upd updater;
    EXPECT_EQ(updater.runUpdateProcess(), 1);
    const std::string path = dbDir + "/cee_pkg_upd.db";
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [cee_upd.cpp] : === start update process. ===\n"
              "I : [DbUpdController.cpp] in open : create lock file [RO] -> success\n"
              "I : [DbUpdController.cpp] in open : DB open success : db file -> " +
                  path +
                  "\n"
                  "I : <<<<<--------------------------\n"
                  "I : [cee_upd.cpp] No update target\n"
                  "I : -------------------------->>>>>\n"
                  "I : [cee_upd.cpp] do db rollback!\n"
                  "I : [DbUpdController.cpp] in close : db file -> " +
                  path +
                  "\n"
                  "I : [DbUpdController.cpp] in close : remove lock file [RO] -> success\n");
    EXPECT_FALSE(testutil::exists(dbDir + "/db_upd.lock"));

    sqlite3_close(raw);
}

// ---------------------------------------------------------------------------------------------
// Package lists, installation, result files, the battery check and whole update runs.

namespace {

using zorupd::db::data::PackageInfoData;
using Rows = std::vector<std::string>;

// Seconds since the epoch of a wall-clock time in UTC+9.
std::time_t jst(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t) - 9 * 3600;
}

PackageInfoData package(int commandInfoId, const std::string& filename, const std::string& path,
                        const std::string& old = "") {
    PackageInfoData p;
    p.command_info_id = commandInfoId;
    p.package_filename = filename;
    p.package_name = filename.substr(0, filename.find('_'));
    p.package_path = path;
    p.old_package_filename = old;
    return p;
}

// Line n (from 1) of a text, without its line feed; empty when the text is shorter.
std::string lineOf(const std::string& text, int n) {
    std::istringstream in(text);
    std::string line;
    for (int i = 0; i < n; ++i) {
        if (!std::getline(in, line)) {
            return "";
        }
    }
    return line;
}

// Puts a folder in front of PATH for the life of the object.
class PathFront {
  public:
    explicit PathFront(const std::string& dir) {
        const char* old = std::getenv("PATH");
        old_ = old != nullptr ? old : "";
        setenv("PATH", (dir + ":" + old_).c_str(), 1);
    }
    ~PathFront() { setenv("PATH", old_.c_str(), 1); }
    PathFront(const PathFront&) = delete;
    PathFront& operator=(const PathFront&) = delete;

  private:
    std::string old_;
};

// The logger application's local HTTP interface: answers every POST on "/" with `answer` and
// keeps the request bodies.
class LoggerApp {
  public:
    LoggerApp() {
        server_.Post("/", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            bodies_.push_back(req.body);
            res.set_content(answer_, "text/xml; charset=UTF-8");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() only ends a server that is already listening.
        testutil::waitFor([this] { return server_.is_running(); });
    }
    ~LoggerApp() {
        server_.stop();
        thread_.join();
    }
    LoggerApp(const LoggerApp&) = delete;
    LoggerApp& operator=(const LoggerApp&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    void answer(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = text;
    }
    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bodies_;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::string answer_;
    std::vector<std::string> bodies_;
};

// An answer to the operation status read of the storage battery.
std::string batteryAnswer(const std::string& status, const std::vector<std::string>& values) {
    std::string ps;
    for (size_t i = 0; i < values.size(); ++i) {
        ps += "<p x=\"" + std::to_string(i + 1) + "\">" + values[i] + "</p>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandResponse id=\"0\"><command>"
           "ReadFromEchonetDevice</command><status>" +
           status + "</status><responseData>" + ps + "</responseData></commandResponse>";
}

// The logger application's settings: the result server of the update order, one storage
// battery at communication address 3, whose address appears in two channels (the later one
// names maker 0x000008).
const char* const kSystemSetting =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<logger loggerId=\"LG-1\" plantId=\"PL-9\">\n"
    "  <general><serverUrl>http://127.0.0.1:9/</serverUrl></general>\n"
    "  <deviceList>\n"
    "    <storageBatteryDeviceList>\n"
    "      <storageBatteryDevice>\n"
    "        <serialNumber>SB-0042</serialNumber>\n"
    "        <communicationAddress>3</communicationAddress>\n"
    "      </storageBatteryDevice>\n"
    "    </storageBatteryDeviceList>\n"
    "  </deviceList>\n"
    "  <channelList>\n"
    "    <channel><addressList>\n"
    "      <address no=\"1\"><manufacturer>0x000001</manufacturer></address>\n"
    "      <address no=\"3\"><manufacturer>0x000005</manufacturer></address>\n"
    "    </addressList></channel>\n"
    "    <channel/>\n"
    "    <channel><addressList>\n"
    "      <address no=\"3\"><manufacturer>0x000008</manufacturer></address>\n"
    "      <address><manufacturer>0x000009</manufacturer></address>\n"
    "    </addressList></channel>\n"
    "  </channelList>\n"
    "</logger>\n";

// The request sent to the logger application for that battery.
const char* const kBatteryRequest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<commandRequest id=\"0\">\n"
    "    <command>ReadFromEchonetDevice</command>\n"
    "    <requestData>\n"
    "        <p x=\"1\">0x7D</p>\n"
    "        <p x=\"2\">0x000008</p>\n"
    "        <p x=\"3\">SB-0042</p>\n"
    "        <p x=\"4\">0x80</p>\n"
    "    </requestData>\n"
    "</commandRequest>\n";

// Everything an update run touches, in `tmp`:
//   bin/dpkg           prints a "dpkg -l" table: five header lines and the lines of `installed`
//                      (records its arguments in dpkg.args)
//   package_updater    records each call: its arguments in pu.args, a copy of its list file
//                      in pu.list.N; prints a line; exits with line N of pu.codes (default 0)
//   update_finish.sh   appends "started <argument count>" to finish.started
//   lists/ update_log/ packages/ result/ db/    the folders of the settings
// The agent's settings (cee.conf) share the database and SystemSetting.xml, so that update
// jobs are written by the agent's own command.
class CeeUpdRunTest : public CeeUpdTest {
  protected:
    void SetUp() override {
        ::setenv("TZ", "JST-9", 1);
        ::tzset();
        testutil::writeFile(tmp.file("SystemSetting.xml"), kSystemSetting);
        ::mkdir(tmp.file("bin").c_str(), 0755);
        testutil::writeFile(tmp.file("bin/dpkg"), inTmp(R"(#!/bin/sh
echo "$*" >> @/dpkg.args
echo 'Desired=Unknown/Install/Remove/Purge/Hold'
echo '| Status=Not/Inst/Conf-files/Unpacked/halF-conf/Half-inst/trig-aWait/Trig-pend'
echo '|/ Err?=(none)/Reinst-required (Status,Err: uppercase=bad)'
echo '||/ Name           Version      Architecture Description'
echo '+++-==============-============-============-============'
cat @/installed 2>/dev/null
exit 0
)"),
                            0755);
        testutil::writeFile(tmp.file("package_updater"), inTmp(R"(#!/bin/sh
n=$(( $(cat @/pu.count 2>/dev/null || echo 0) + 1 ))
echo $n > @/pu.count
echo "$*" >> @/pu.args
if [ -f "$1" ]; then cp "$1" @/pu.list.$n; fi
echo "package updater run $n"
echo 'to stderr' >&2
code=$(sed -n "${n}p" @/pu.codes 2>/dev/null)
exit ${code:-0}
)"),
                            0755);
        testutil::writeFile(tmp.file("update_finish.sh"),
                            inTmp("echo \"started $#\" >> @/finish.started\n"), 0755);
        applySettings();
    }
    void TearDown() override {
        // The finish commands run in the background: let them end before the folder goes.
        finishStarted(finishCommands);
        zorcee::data::SettingData::destroyInstance();
        CeeUpdTest::TearDown();
    }

    // `text` with every "@/" standing for the test folder.
    std::string inTmp(const std::string& text) const {
        return std::regex_replace(text, std::regex("@/"), tmp.path() + "/");
    }

    // The updater's settings, every path in tmp; `pkgExtra` adds members to PKG_UPDATE (a
    // member given twice takes the later value).
    void applySettings(const std::string& pkgExtra = "") {
        SettingData::destroyInstance();
        useSettings("127.0.0.1", inTmp(R"("SYSTEM_SETTING_XML_FILE": "@/SystemSetting.xml",
                             "PKG_UPDATE": {"LIST_FILE_PATH": "@/lists",
                                            "UPDATE_LOG_DIR": "@/update_log",
                                            "UPDATE_CMD_LINE": "@/package_updater",
                                            "PKG_DIR": "@/packages", "RESULT_DIR": "@/result",
                                            "REBOOT_COMMAND": "@/update_finish.sh")") +
                                     (pkgExtra.empty() ? "" : ", " + pkgExtra) +
                                     R"(}, "QMT_HTTP": {"URL": ")" + httpUrl +
                                     R"(", "RETRY_NUM": )" + std::to_string(httpRetries) +
                                     R"(, "RETRY_INTERVAL": 10})");
    }

    // Lines "name version architecture" of the installed packages shown by the fake dpkg.
    void installed(const std::vector<std::string>& packages) {
        std::string table;
        for (const auto& p : packages) {
            std::istringstream in(p);
            std::string name, version, arch;
            in >> name >> version >> arch;
            table += "ii  " + name + "   " + version + "   " + arch + "   a package\n";
        }
        testutil::writeFile(tmp.file("installed"), table);
    }
    // Exit codes of the package updater's calls, one per line (missing lines: 0).
    void packageUpdaterCodes(const std::string& codes) {
        testutil::writeFile(tmp.file("pu.codes"), codes);
    }
    std::string packageUpdaterArgs() { return testutil::readFile(tmp.file("pu.args")); }
    std::string packageUpdaterList(int call) {
        return testutil::readFile(tmp.file("pu.list." + std::to_string(call)));
    }
    // Waits until the finish command has been started `count` times in all.
    bool finishStarted(int count) {
        return testutil::waitFor([&] {
            const std::string text = testutil::readFile(tmp.file("finish.started"));
            return std::count(text.begin(), text.end(), '\n') >= count;
        });
    }
    std::string resultFile(const std::string& name) {
        return testutil::readFile(tmp.file("result/" + name));
    }

    // The agent's side: its settings, and the database created as at its first start.
    void useAgent() {
        testutil::writeFile(tmp.file("cee.conf"),
                            R"({"CMD_SUBSTRATE_CODE": "true", "SYSTEM_SETTING_XML_FILE": ")" +
                                tmp.file("SystemSetting.xml") + R"(", "DATABASE": {"DB_PATH": ")" +
                                tmp.file("db") + "\"}}");
        zorcee::data::SettingData::createInstance(tmp.file("cee.conf"));
        zorcee::db::DbController setup;
        ASSERT_EQ(setup.init(tmp.file("db"), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }
    // An UpdateLogger order executed by the agent's command as if received at `clock` (the
    // first draw picks the minute of a normal run or the offset of an emergency run). Returns
    // the order's command_info id.
    int order(const std::string& type, const std::string& commandId,
              const std::vector<std::string>& packageFiles, const std::vector<std::string>& cancel,
              std::time_t clock, std::uint32_t draw = 0) {
        std::string body;
        for (const auto& f : packageFiles) {
            body += "<p>/var/repos/tools/" + f + "</p>";
        }
        if (!cancel.empty()) {
            body += "<cancel_id_list>";
            for (const auto& c : cancel) {
                body += "<p>" + c + "</p>";
            }
            body += "</cancel_id_list>";
        }
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest id=\"REQ-" + commandId +
            "\"><command>UpdateLogger</command><requestData><command_type id=\"" + commandId +
            "\">" + type + "</command_type>" + body + "</requestData></commandRequest>";
        picojson::value value;
        picojson::parse(
            value, R"({"order":{"type":"cmd","indicate":"UpdateLogger","target":{}},)"
                   R"("data":{"value":")" +
                       zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(xml.data()),
                                               xml.size()) +
                       R"("},"timestamp":"2026/12/07 10:00:00"})");
        zorcee::command::CmdInfoUpdate cmd(value);
        cmd.setClock([clock] { return clock; });
        cmd.setRandomSource([draw](std::time_t, int count) {
            return std::vector<std::uint32_t>(static_cast<size_t>(count), draw);
        });
        EXPECT_EQ(cmd.execCommand(), 0) << xml;
        return std::stoi(rows("SELECT MAX(id) FROM command_info").at(0));
    }
    // A normal update due now (ordered four days ago), a normal update not due for hours
    // (ordered now), an emergency update due now (ordered an hour ago).
    static std::time_t dueNormal() { return std::time(nullptr) - 4 * 86400; }
    static std::time_t pendingNormal() { return std::time(nullptr); }
    static std::time_t dueEmergency() { return std::time(nullptr) - 3600; }

    std::vector<std::string> rows(const std::string& sql) {
        return testutil::queryRows(tmp.file("db/cee_pkg_upd.db"), sql);
    }
    void exec(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open(tmp.file("db/cee_pkg_upd.db").c_str(), &db);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    std::string utcNow() { return rows("SELECT datetime('now')").at(0); }

    // One start's update run, with dpkg replaced.
    int run() {
        PathFront path(tmp.file("bin"));
        zorupd::conn::ConnectionManagerUpd manager;
        cee_upd updater(&manager);
        const int r = updater.runUpdateProcess();
        if (r >= 0 && r != 1) {
            ++finishCommands;
        }
        return r;
    }

    // The lines that cee_upd.cpp wrote (and the raw lines), without line numbers.
    std::vector<std::string> updLines() const {
        std::vector<std::string> out;
        std::istringstream in(withoutLineNumbers(log.text()));
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("[cee_upd.cpp]") != std::string::npos ||
                line.find(" : [") == std::string::npos) {
                out.push_back(line);
            }
        }
        return out;
    }
    // Every expected line, exactly, in this order (other lines may come between).
    void expectInOrder(const std::vector<std::string>& expected) {
        const auto lines = updLines();
        auto at = lines.begin();
        for (const auto& e : expected) {
            const auto found = std::find(at, lines.end(), e);
            if (found == lines.end()) {
                ADD_FAILURE() << "missing (in this order): " << e << "\n" << log.text();
                return;
            }
            at = found + 1;
        }
    }

    std::string httpUrl = "http://127.0.0.1:9/";
    int httpRetries = 0;
    int finishCommands = 0;  // started by run()
};

}  // namespace

TEST_F(CeeUpdRunTest, InstalledVersionsFromThePackageQuery) {
    cee_upd updater;
    std::vector<PackageInfoData> two = {package(1, "a_1.1_armhf.deb", "pool"),
                                        package(1, "b_2.0_armhf.deb", "pool")};
    EXPECT_EQ(updater.makePackageQuery(two),
              "dpkg -l | egrep 'a|b' | awk -F' ' '{ print $2 \"_\" $3 \"_\" $4 \".deb\" }'");
    EXPECT_EQ(updater.makePackageQuery({}), "");

    // "a" is installed, "b" is not: one of two found.
    PathFront path(tmp.file("bin"));
    installed({"a 1.0 armhf", "zz-other 3 all"});
    EXPECT_EQ(updater.searchOldPackageVersion(two), 1);
    EXPECT_EQ(two[0].old_package_filename, "a_1.0_armhf.deb");
    EXPECT_EQ(two[1].old_package_filename, "");
    // The package query, then the listing of the installed state.
    EXPECT_EQ(testutil::readFile(tmp.file("dpkg.args")), "-l\n-l\n");
    EXPECT_TRUE(log.contains("W : [cee_upd.cpp:")) << log.text();
    EXPECT_TRUE(
        log.contains("]     search old package version: found : old -> a_1.0_armhf.deb : "
                     "new -> a_1.1_armhf.deb\n"))
        << log.text();
    EXPECT_TRUE(log.contains("]     search old package version: not found!\n")) << log.text();

    // The whole name: "abc" never takes the entry of "abcd", even when it comes first.
    installed({"abcd 9 armhf", "abc 1.0 armhf"});
    std::vector<PackageInfoData> prefix = {package(1, "abc_2.0_armhf.deb", "pool")};
    EXPECT_EQ(updater.searchOldPackageVersion(prefix), 1);
    EXPECT_EQ(prefix[0].old_package_filename, "abc_1.0_armhf.deb");

    // Nothing that the query prints, and no package at all.
    installed({"zz-other 3 all"});
    std::vector<PackageInfoData> missing = {package(1, "qqq_2.0_armhf.deb", "pool")};
    EXPECT_EQ(updater.searchOldPackageVersion(missing), -4);
    std::vector<PackageInfoData> none;
    ::unlink(tmp.file("dpkg.args").c_str());
    EXPECT_EQ(updater.searchOldPackageVersion(none), -2);
    EXPECT_FALSE(testutil::exists(tmp.file("dpkg.args")));  // nothing was run
}

TEST_F(CeeUpdRunTest, PackageNamesNeverRunACommand) {
    cee_upd updater;
    PathFront path(tmp.file("bin"));
    const std::string marker1 = tmp.file("INJECTED1");
    const std::string marker2 = tmp.file("INJECTED2");
    const std::string hostile = "x';touch " + marker1 + ";'$(touch " + marker2 + ") y";
    std::vector<PackageInfoData> packages = {package(1, hostile + "_1.0_armhf.deb", "pool")};
    EXPECT_EQ(updater.makePackageQuery(packages),
              "dpkg -l | egrep 'x'\\'';touch " + marker1 + ";'\\''\\$\\(touch " + marker2 +
                  "\\) y' | awk -F' ' '{ print $2 \"_\" $3 \"_\" $4 \".deb\" }'");
    installed({"x 1.0 armhf", "y 1.0 armhf"});
    EXPECT_EQ(updater.searchOldPackageVersion(packages), -4);
    EXPECT_FALSE(testutil::exists(marker1));
    EXPECT_FALSE(testutil::exists(marker2));

    // Regular-expression characters are literal: "a.b" does not match "axb".
    installed({"axb 2.0 armhf"});
    std::vector<PackageInfoData> dotted = {package(1, "a.b_3.0_armhf.deb", "pool")};
    EXPECT_EQ(updater.makePackageQuery(dotted),
              "dpkg -l | egrep 'a\\.b' | awk -F' ' '{ print $2 \"_\" $3 \"_\" $4 \".deb\" }'");
    EXPECT_EQ(updater.searchOldPackageVersion(dotted), -4);
    // ...and a name with a quote is still looked up as itself.
    installed({"axb 2.0 armhf", "q'x+1 1.5 all"});
    std::vector<PackageInfoData> quoted = {package(1, "q'x+1_2.0_all.deb", "pool")};
    EXPECT_EQ(updater.searchOldPackageVersion(quoted), 1);
    EXPECT_EQ(quoted[0].old_package_filename, "q'x+1_1.5_all.deb");
}

TEST_F(CeeUpdRunTest, PackageListFiles) {
    cee_upd updater;
    const std::time_t start = jst(2026, 12, 7, 23, 15, 2);
    const std::string dir = tmp.file("lists");
    const std::string path = dir + "/update_list_20261207_231502";
    const std::string pkgDir = tmp.file("packages");

    // Install list: one line per package, in order, with the new file names.
    EXPECT_EQ(updater.writePackageList(0, start, dir, "update_list_",
                                       {package(12, "x_2.0_armhf.deb", "pool", "x_1.0_armhf.deb"),
                                        package(12, "y_1_all.deb", "pool/sub")}),
              path);
    EXPECT_TRUE(testutil::exists(pkgDir));  // created for the package updater
    const std::string install = testutil::readFile(path);
    EXPECT_EQ(install,
              "###################\n"
              "# update package list\n"
              "#   create date: 20261207_231502\n"
              "#\n"
              "12 " +
                  pkgDir +
                  " pool x_2.0_armhf.deb\n"
                  "12 " +
                  pkgDir + " pool/sub y_1_all.deb\n");
    EXPECT_EQ(lineOf(install, 5), "12 " + pkgDir + " pool x_2.0_armhf.deb");

    // Re-install list: the old file names; a package without one has no line.
    EXPECT_EQ(updater.writePackageList(1, start, dir, "update_list_",
                                       {package(3, "x_2.0_armhf.deb", "pool", "x_1.0_armhf.deb"),
                                        package(4, "y_1_all.deb", "p")}),
              path);
    EXPECT_EQ(testutil::readFile(path),
              "###################\n"
              "# re-install(cancel) package list\n"
              "#   create date: 20261207_231502\n"
              "#\n"
              "3 " +
                  pkgDir + " pool x_1.0_armhf.deb\n");

    // No old file name at all: the file goes and "no_data" comes back.
    log.clear();
    EXPECT_EQ(
        updater.writePackageList(1, start, dir, "update_list_",
                                 {package(4, "y_1_all.deb", "p"), package(5, "z_1_all.deb", "p")}),
        "no_data");
    EXPECT_FALSE(testutil::exists(path));
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "W : [cee_upd.cpp] in writePackageList warning (emargency) : no packages to cancel "
              ": remove cancel list file (" +
                  path + ")\n");
    EXPECT_EQ(updater.writePackageList(0, start, dir, "update_list_", {}), "no_data");

    // A list folder that cannot be made.
    testutil::writeFile(tmp.file("blocker"), "a file");
    log.clear();
    EXPECT_EQ(updater.writePackageList(0, start, tmp.file("blocker/lists"), "update_list_",
                                       {package(12, "x_2.0_armhf.deb", "pool")}),
              "");
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "E : [cee_upd.cpp] in writePackageList error (normal) : failed to create directory "
              "(list file) (" +
                  tmp.file("blocker/lists") + ") -> 2\n");
}

TEST_F(CeeUpdRunTest, PackageUpdaterGetsTheListAndReportsItsWaitStatus) {
    cee_upd updater;
    const std::time_t start = jst(2026, 12, 7, 23, 15, 2);
    const std::string list = tmp.file("lists/update_list_20261207_231502");
    testutil::writeFile(tmp.file("some_list"), "#\n");

    EXPECT_EQ(updater.execPkgDownloadAndInstall(0, start, tmp.file("some_list")), 0);
    EXPECT_EQ(packageUpdaterArgs(), tmp.file("some_list") + "\n");
    // Its standard output and error go to the output file of the install run.
    EXPECT_EQ(testutil::readFile(tmp.file("update_log/update.log_20261207_231502")),
              "package updater run 1\nto stderr\n");
    EXPECT_TRUE(
        log.contains("] in execPkgDownloadAndInstall (normal) : update execution success -> 0\n"))
        << log.text();

    // Exit status 3 is reported as the raw wait status; "no_data" goes through unchanged.
    packageUpdaterCodes("0\n3\n");
    log.clear();
    EXPECT_EQ(updater.execPkgDownloadAndInstall(1, start, "no_data"), 768);
    EXPECT_EQ(lineOf(packageUpdaterArgs(), 2), "no_data");
    EXPECT_EQ(testutil::readFile(tmp.file("update_log/cancel.log_20261207_231502")),
              "package updater run 2\nto stderr\n");
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "W : [cee_upd.cpp] in execPkgDownloadAndInstall failed (emargency) : update "
              "execution resutlt -> 768 : command -> " +
                  tmp.file("package_updater") + " no_data > " + tmp.file("update_log") +
                  "/cancel.log_20261207_231502 2>&1\n");

    // An output folder that cannot be made: the package updater is not started.
    testutil::writeFile(tmp.file("blocker"), "a file");
    applySettings(R"("UPDATE_LOG_DIR": ")" + tmp.file("blocker/log") + "\"");
    cee_upd blocked;
    log.clear();
    EXPECT_EQ(blocked.execPkgDownloadAndInstall(0, start, list), -1);
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "E : [cee_upd.cpp] in execPkgDownloadAndInstall error (normal) : failed to create "
              "directory (package file) (" +
                  tmp.file("blocker/log") + ") -> 2\n");
    EXPECT_EQ(testutil::readFile(tmp.file("pu.count")), "2\n");
}

TEST_F(CeeUpdRunTest, ResultFilesAndFinishCommand) {
    cee_upd updater;
    // A success file of an earlier run stays when a later run fails.
    ::mkdir(tmp.file("result").c_str(), 0755);
    testutil::writeFile(tmp.file("result/logger_reboot"), "update\n77\n");
    EXPECT_EQ(updater.createResultFile(99, 101, "<4> Old package not found"), 0);
    EXPECT_EQ(resultFile("update_failed"), "101\n<4> Old package not found\n");
    EXPECT_EQ(resultFile("logger_reboot"), "update\n77\n");
    EXPECT_TRUE(log.contains("] in createResultFile : create failed file (" +
                             tmp.file("result/update_failed") + ") : command_id -> 101\n"))
        << log.text();

    // Without a result text only the command id.
    EXPECT_EQ(updater.createResultFile(97, 102, ""), 0);
    EXPECT_EQ(resultFile("update_failed"), "102\n");

    // Success: the success file is written and the failure file removed.
    EXPECT_EQ(updater.createResultFile(0, 103, "ignored"), 0);
    EXPECT_EQ(resultFile("logger_reboot"), "update\n103\n");
    EXPECT_FALSE(testutil::exists(tmp.file("result/update_failed")));
    EXPECT_TRUE(log.contains("] in createResultFile : create update result file (" +
                             tmp.file("result/logger_reboot") +
                             ") : update result -> success : command_id -> 103\n"))
        << log.text();

    // Result files that cannot be written.
    testutil::writeFile(tmp.file("blocker"), "a file");
    applySettings(R"("RESULT_DIR": ")" + tmp.file("blocker/result") + "\"");
    cee_upd blocked;
    EXPECT_EQ(blocked.createResultFile(99, 104, "x"), -2);
    EXPECT_EQ(blocked.createResultFile(0, 104, ""), -1);

    // The finish command runs in the background, without arguments.
    blocked.runFinishCommand();
    EXPECT_TRUE(finishStarted(1));
    EXPECT_EQ(testutil::readFile(tmp.file("finish.started")), "started 0\n");
}

TEST_F(CeeUpdRunTest, BatteryCheckReadsTheOperationStatus) {
    LoggerApp app;
    httpUrl = app.url();
    applySettings();
    zorupd::conn::ConnectionManagerUpd manager;
    cee_upd updater(&manager);
    log.clear();

    // Not battery firmware: nothing is asked.
    EXPECT_EQ(updater.storageBatteryConnectionCheck("abc_1.2_armhf.deb"), 0);
    EXPECT_TRUE(app.bodies().empty());
    EXPECT_EQ(log.text(), "");

    // The name part anywhere in the file name; the battery is on.
    app.answer(batteryAnswer("SUCCESS", {"0x30"}));
    EXPECT_EQ(updater.storageBatteryConnectionCheck("extra-tusk-batfw-x_1.2_armhf.deb"), 1);
    ASSERT_EQ(app.bodies().size(), 1u);
    // The address of the battery appears twice: the later channel's maker code is sent.
    EXPECT_EQ(app.bodies()[0], kBatteryRequest);
    EXPECT_TRUE(
        log.contains("] in storageBatteryConnectionCheck : package_filename -> "
                     "extra-tusk-batfw-x_1.2_armhf.deb\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] in getStorageBatteryInfo : communication address->3\n"));
    EXPECT_TRUE(
        log.contains("] in getStorageBatteryInfo : Maker code->0x000008 : Serial->SB-0042\n"));
    EXPECT_TRUE(log.contains("] in storageBatteryConnectionCheck : HTTP POST -> " + app.url() +
                             " success (0) : receive message -> " +
                             batteryAnswer("SUCCESS", {"0x30"}) + "\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] in checkReceiveData : status -> SUCCESS\n"));
    EXPECT_TRUE(log.contains("I : [cee_upd.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("] in checkReceiveData : EPC is OK\n"));

    // The logger application answers, but the battery did not.
    app.answer(batteryAnswer("FAILURE", {"0x30"}));
    log.clear();
    EXPECT_EQ(updater.storageBatteryConnectionCheck("tusk-batfw_1.2_armhf.deb"), -1);
    EXPECT_TRUE(log.contains("] in checkReceiveData : status -> FAILURE\n")) << log.text();
    EXPECT_FALSE(log.contains("EPC")) << log.text();

    // Another property value first, then "off".
    app.answer(batteryAnswer("SUCCESS", {"0x80", "0x31"}));
    EXPECT_EQ(updater.storageBatteryConnectionCheck("tusk-batfw_1.2_armhf.deb"), 1);
    EXPECT_EQ(app.bodies().size(), 3u);
}

TEST_F(CeeUpdRunTest, BatteryAnswersThatAreNotAccepted) {
    cee_upd updater;
    // Nesting far beyond the XML parser's depth limit is a parse error, not a deep recursion.
    std::string deep = "<commandResponse><status>SUCCESS</status><responseData>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<p>";
    }
    const struct {
        std::string answer;
        std::string log;
    } cases[] = {
        {"", "W : [cee_upd.cpp] in checkReceiveData : not found element -> commandResponse\n"},
        {"<commandRequest/>",
         "W : [cee_upd.cpp] in checkReceiveData : not found element -> commandResponse\n"},
        {"<commandResponse><responseData><p>0x30</p></responseData></commandResponse>",
         "W : [cee_upd.cpp] in checkReceiveData : not found element -> status\n"},
        {"<commandResponse><status/><responseData><p>0x30</p></responseData>"
         "</commandResponse>",
         "I : [cee_upd.cpp] in checkReceiveData : status -> \n"},
        {"<commandResponse><status>SUCCESS</status></commandResponse>",
         "I : [cee_upd.cpp] in checkReceiveData : status -> SUCCESS\n"
         "W : [cee_upd.cpp] in checkReceiveData : not found element -> responseData\n"},
        {batteryAnswer("SUCCESS", {"", "0x32", "0x30 "}),
         "I : [cee_upd.cpp] in checkReceiveData : status -> SUCCESS\n"
         "W : [cee_upd.cpp] in checkReceiveData : EPC data is empty\n"},
        {batteryAnswer("SUCCESS ", {"0x30"}),
         "I : [cee_upd.cpp] in checkReceiveData : status -> SUCCESS \n"},
        {deep, "W : [cee_upd.cpp] in checkReceiveData : not found element -> commandResponse\n"},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_EQ(updater.checkReceiveData(c.answer), -1) << c.answer;
        EXPECT_EQ(withoutLineNumbers(log.text()), c.log) << c.answer;
    }
    log.clear();
    EXPECT_EQ(updater.checkReceiveData(batteryAnswer("SUCCESS", {"", "0x31"})), 1);
}

TEST_F(CeeUpdRunTest, BatteryDataFromTheLoggerSettings) {
    LoggerApp app;
    app.answer(batteryAnswer("SUCCESS", {"0x30"}));
    httpUrl = app.url();
    applySettings();
    zorupd::conn::ConnectionManagerUpd manager;
    cee_upd updater(&manager);
    const std::string full = kSystemSetting;
    auto without = [&](const std::string& part) {
        std::string text = full;
        text.erase(text.find(part), part.size());
        return text;
    };
    const struct {
        std::string xml;
        std::string log;
    } cases[] = {
        {without("        <serialNumber>SB-0042</serialNumber>\n"),
         "W : [cee_upd.cpp] in getStorageBatteryInfo : not found element (serialNumber)\n"},
        {without("        <communicationAddress>3</communicationAddress>\n"),
         "W : [cee_upd.cpp] in getStorageBatteryInfo : not found element "
         "(communicationAddress)\n"},
        {"<other/>",
         "W : [cee_upd.cpp] in getStorageBatteryInfo : load error : not found "
         "element logger\n"},
        {"<logger/>",
         "W : [cee_upd.cpp] in getStorageBatteryInfo : not found element (deviceList)\n"},
        {std::regex_replace(full, std::regex("no=\"3\""), "no=\"4\""),
         "I : [cee_upd.cpp] in getStorageBatteryInfo : communication address->3\n"
         "W : [cee_upd.cpp] in getStorageBatteryInfo : not found Storage battery info\n"},
        {std::regex_replace(full, std::regex("<serialNumber>SB-0042</serialNumber>"),
                            "<serialNumber/>"),
         "W : [cee_upd.cpp] in getStorageBatteryInfo : SystemSetting.xml analize error\n"},
    };
    for (const auto& c : cases) {
        testutil::writeFile(tmp.file("SystemSetting.xml"), c.xml);
        log.clear();
        std::string maker = "unchanged";
        std::string serial = "unchanged";
        EXPECT_EQ(updater.getStorageBatteryInfo(maker, serial), -1) << c.xml;
        EXPECT_EQ(maker, "unchanged");
        EXPECT_EQ(withoutLineNumbers(log.text()), c.log) << c.xml;
        EXPECT_EQ(updater.createConnectionCheckXml(), "");
        // The check fails without asking the logger application.
        EXPECT_EQ(updater.storageBatteryConnectionCheck("tusk-batfw_1_armhf.deb"), -1);
    }
    EXPECT_TRUE(app.bodies().empty());

    testutil::writeFile(tmp.file("SystemSetting.xml"), full);
    std::string maker;
    std::string serial;
    EXPECT_EQ(updater.getStorageBatteryInfo(maker, serial), 0);
    EXPECT_EQ(maker, "0x000008");
    EXPECT_EQ(serial, "SB-0042");
    EXPECT_EQ(updater.createConnectionCheckXml(), kBatteryRequest);
}

TEST_F(CeeUpdRunTest, LoggerApplicationNotListening) {
    int port = 0;
    {
        LoggerApp gone;  // a port that was free a moment ago
        port = gone.port();
    }
    httpUrl = "http://127.0.0.1:" + std::to_string(port) + "/";
    httpRetries = 2;
    applySettings();
    zorupd::conn::ConnectionManagerUpd manager;
    cee_upd updater(&manager);
    EXPECT_EQ(updater.storageBatteryConnectionCheck("tusk-batfw_1_armhf.deb"), -1);
    // Three attempts, then an empty answer.
    const std::string text = withoutLineNumbers(log.text());
    const std::string attempt =
        "W : [ConnectionManagerUpd.cpp] in http_access : failed to access url : Retry remaining "
        "-> ";
    const auto first = text.find(attempt + "2\n");
    const auto second = text.find(attempt + "1\n");
    const auto third = text.find(attempt + "0\n");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_LT(first, second) << text;
    EXPECT_LT(second, third) << text;
    EXPECT_NE(third, std::string::npos) << text;
    EXPECT_EQ(std::regex_replace(text, std::regex("Retry remaining"), "").size(),
              text.size() - 3 * std::string("Retry remaining").size());
    EXPECT_NE(text.find("I : [cee_upd.cpp] in storageBatteryConnectionCheck : HTTP POST -> " +
                        httpUrl + " failed (7) : receive message -> \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("W : [cee_upd.cpp] in checkReceiveData : not found element -> "
                        "commandResponse\n"),
              std::string::npos)
        << text;
}

TEST_F(CeeUpdRunTest, NormalUpdateIsInstalledRecordedAndFinished) {
    useAgent();
    order("0", "101", {"abc_1.2_armhf.deb"}, {}, dueNormal());
    installed({"abc 1.0 armhf"});
    const std::string before = utcNow();
    log.clear();
    EXPECT_EQ(run(), 0);
    const std::string after = utcNow();

    EXPECT_EQ(rows("SELECT id, exic_num, proc_status, r_result_str, cancel_time FROM proc_info"),
              (Rows{"1|0|1||NULL"}));
    // Start and end of the installation in UTC.
    const auto times = rows("SELECT r_start_time, r_end_time FROM proc_info").at(0);
    const std::string start = times.substr(0, times.find('|'));
    const std::string end = times.substr(times.find('|') + 1);
    EXPECT_LE(before, start);
    EXPECT_LE(start, end);
    EXPECT_LE(end, after);
    EXPECT_EQ(rows("SELECT package_filename, old_package_filename FROM package_list"),
              (Rows{"abc_1.2_armhf.deb|abc_1.0_armhf.deb"}));

    // The package updater got the install list.
    const std::string list = lineOf(packageUpdaterArgs(), 1);
    ASSERT_EQ(list.size(), tmp.file("lists/update_list_").size() + 15) << list;
    const std::string timeText = list.substr(list.size() - 15);
    EXPECT_EQ(packageUpdaterList(1),
              "###################\n"
              "# update package list\n"
              "#   create date: " +
                  timeText +
                  "\n#\n"
                  "1 " +
                  tmp.file("packages") + " tools abc_1.2_armhf.deb\n");
    EXPECT_EQ(testutil::readFile(tmp.file("update_log/update.log_" + timeText)),
              "package updater run 1\nto stderr\n");
    EXPECT_EQ(resultFile("logger_reboot"), "update\n101\n");
    EXPECT_FALSE(testutil::exists(tmp.file("result/update_failed")));
    EXPECT_TRUE(finishStarted(1));

    EXPECT_EQ(updLines(),
              (Rows{
                  "I : [cee_upd.cpp] : === start update process. ===",
                  "I : [cee_upd.cpp] ===== <1> get update targets : proc_info.id -> 1 : "
                  "command_info.id -> 1 : update id -> 101 : update type -> normal",
                  "I : [cee_upd.cpp] ===== <3> get install package : install package num -> 1",
                  "I : [cee_upd.cpp]           : [install package] : package_info.id -> 1 : "
                  "command_info_id -> 1 : package name -> abc",
                  "W : [cee_upd.cpp]     search old package version: found : old -> "
                  "abc_1.0_armhf.deb : new -> abc_1.2_armhf.deb",
                  "I : [cee_upd.cpp] ===== <5> udapte db : find update targets : proc_info.id -> "
                  "1 : command_info.id -> 1 : update type -> normal",
                  "I : [cee_upd.cpp] ===== <6> get cancel package : No re-install target(s). "
                  "(cancel package)",
                  "I : [cee_upd.cpp] ===== <11> create install package list : create install "
                  "package list file -> " +
                      list,
                  "I : [cee_upd.cpp] in execPkgDownloadAndInstall (normal) : update execution "
                  "success -> 0",
                  "I : [cee_upd.cpp] ===== <12> execute update : UPDATE SUCCESS : execUpdate : "
                  "install success",
                  "I : [cee_upd.cpp] ===== <13> update result to db : UPDATE SUCCESS : "
                  "execUpdate : update success : proc_info.id -> 1 : result -> 1",
                  "I : <<<<<--------------------------",
                  "I : [cee_upd.cpp] Update execution success -> 0",
                  "I : -------------------------->>>>>",
                  "I : [cee_upd.cpp] success db commit!",
                  "I : [cee_upd.cpp] in createResultFile : create update result file (" +
                      tmp.file("result/logger_reboot") +
                      ") : update result -> success : command_id -> 101",
              }));
}

TEST_F(CeeUpdRunTest, PackagesNotInstalledFailStepFourAndAreRetried) {
    useAgent();
    ::mkdir(tmp.file("result").c_str(), 0755);
    testutil::writeFile(tmp.file("result/logger_reboot"), "update\n77\n");

    // The only package is not installed: the query prints no line.
    order("0", "102", {"abc_1.2_armhf.deb"}, {}, dueNormal());
    installed({"zz-other 1 all"});
    log.clear();
    EXPECT_EQ(run(), 99);
    EXPECT_EQ(rows("SELECT id, exic_num, proc_status, r_result_str FROM proc_info ORDER BY id"),
              (Rows{"1|0|2|", "2|1|0|NULL"}));
    // The retry is due UPD_RETRY_INTERVAL (120 s) from now, in UTC+9 wall-clock time.
    EXPECT_EQ(rows("SELECT sched_proc_time > datetime('now', '+9 hours') AND sched_proc_time <= "
                   "datetime('now', '+9 hours', '+120 seconds') FROM proc_info WHERE id = 2"),
              (Rows{"1"}));
    EXPECT_EQ(resultFile("update_failed"), "102\n<4> Old package not found\n");
    EXPECT_EQ(resultFile("logger_reboot"), "update\n77\n");
    EXPECT_FALSE(testutil::exists(tmp.file("pu.args")));
    EXPECT_TRUE(finishStarted(1));
    expectInOrder({
        "W : [cee_upd.cpp] ===== <4> get now installed package : Old package not found -> -4",
        "I : [cee_upd.cpp] ===== <13> update result to db : UPDATE FAILED : execUpdate : update "
        "success : proc_info.id -> 1 : result -> 2",
        "I : [cee_upd.cpp] ===== <99> update failed : UPDATE FAILED : execUpdate : update success "
        ": next schedule command_info.id -> 1",
        "I : [cee_upd.cpp] ===== <99> schedule next run : UPDATE FAILED : execUpdate : update "
        "success : next schedule command_info.id -> 1",
        "I : <<<<<--------------------------",
        "W : [cee_upd.cpp] Update execution failed -> 99 : update failed, but done re-schedule",
        "I : -------------------------->>>>>",
        "I : [cee_upd.cpp] success db commit!",
        "I : [cee_upd.cpp] in createResultFile : create failed file (" +
            tmp.file("result/update_failed") + ") : command_id -> 102",
    });
    // The later steps were skipped.
    EXPECT_FALSE(log.contains("<5>")) << log.text();
    EXPECT_FALSE(log.contains("<11>")) << log.text();

    // Two packages, one of them installed.
    order("0", "103", {"abc_1.2_armhf.deb", "def_2.0_armhf.deb"}, {}, dueNormal());
    installed({"abc 1.0 armhf"});
    log.clear();
    EXPECT_EQ(run(), 99);
    const std::string mismatch =
        "<4> get now installed package : Pakcage num does not match the old package : install "
        "num -> 2 : old package num -> 1";
    EXPECT_EQ(resultFile("update_failed"), "103\n" + mismatch + "\n");
    expectInOrder({"W : [cee_upd.cpp] ===== " + mismatch});
    EXPECT_EQ(rows("SELECT exic_num, proc_status, r_result_str FROM proc_info WHERE "
                   "command_info_id = 2 ORDER BY id"),
              (Rows{"0|2|", "1|0|NULL"}));
    EXPECT_EQ(rows("SELECT count(*) FROM package_list WHERE old_package_filename IS NOT NULL"),
              (Rows{"0"}));
    EXPECT_FALSE(testutil::exists(tmp.file("pu.args")));
    EXPECT_TRUE(finishStarted(2));
}

TEST_F(CeeUpdRunTest, PackageUpdaterFailureIsRetriedUntilTheMaximum) {
    useAgent();
    order("0", "104", {"abc_1.2_armhf.deb"}, {}, dueNormal());
    installed({"abc 1.0 armhf"});
    packageUpdaterCodes("1\n1\n");
    log.clear();
    EXPECT_EQ(run(), 99);
    const std::string text =
        "<12> execute update : UPDATE FAILED : install execution failed -> 256";
    EXPECT_EQ(rows("SELECT id, exic_num, proc_status, r_result_str FROM proc_info ORDER BY id"),
              (Rows{"1|0|2|" + text, "2|1|0|NULL"}));
    EXPECT_EQ(resultFile("update_failed"), "104\n" + text + "\n");
    expectInOrder({
        "I : [cee_upd.cpp] ===== <12> execute update : UPDATE FAILED : execUpdate : install "
        "execution failed -> 256",
        "I : [cee_upd.cpp] ===== <13> update result to db : UPDATE FAILED : execUpdate : update "
        "success : proc_info.id -> 1 : result -> 2",
        "W : [cee_upd.cpp] Update execution failed -> 99 : update failed, but done re-schedule",
        "I : [cee_upd.cpp] success db commit!",
    });

    // The retry is due, and the command has reached UPD_RETRY_NUM (5).
    exec(
        "UPDATE proc_info SET exic_num = 5, sched_proc_time = datetime('now', '+9 hours', "
        "'-1 minutes') WHERE id = 2");
    log.clear();
    EXPECT_EQ(run(), 97);
    EXPECT_EQ(rows("SELECT id, exic_num, proc_status, r_result_str FROM proc_info ORDER BY id"),
              (Rows{"1|0|2|" + text, "2|5|2|" + text}));
    EXPECT_EQ(resultFile("update_failed"),
              "104\n" + text + " | <97> : Maximum number of retries\n");
    expectInOrder({
        "I : [cee_upd.cpp] ===== <97> update failed : UPDATE FAILED : execUpdate : No insert "
        "next schedule proc_info.",
        "W : [cee_upd.cpp] Update execution failed -> 97 : update failed, but done re-schedule",
        "I : [cee_upd.cpp] success db commit!",
    });
    EXPECT_EQ(testutil::readFile(tmp.file("pu.count")), "2\n");
    EXPECT_TRUE(finishStarted(2));
}

TEST_F(CeeUpdRunTest, EmergencyUpdateCancelsPendingAndReinstallsInstalledUpdates) {
    useAgent();
    // An update installed by an earlier run (its old version recorded), one still pending.
    order("0", "201", {"bpkg_2.0_armhf.deb"}, {}, dueNormal());
    installed({"bpkg 1.0 armhf"});
    ASSERT_EQ(run(), 0);
    order("0", "202", {"cpkg_2.0_armhf.deb"}, {}, pendingNormal());
    order("1", "203", {"epkg_3.0_armhf.deb"}, {"201", "202", "999"}, dueEmergency());
    EXPECT_EQ(rows("SELECT cancel_command_id, is_cancel FROM cancel_cid_list ORDER BY id"),
              (Rows{"201|1", "202|1", "999|0"}));
    installed({"bpkg 2.0 armhf", "epkg 1.0 armhf"});
    log.clear();
    EXPECT_EQ(run(), 0);

    EXPECT_EQ(rows("SELECT id, command_info_id, proc_status, cancel_time IS NOT NULL FROM "
                   "proc_info ORDER BY id"),
              (Rows{"1|1|3|1", "2|2|4|1", "3|3|1|0"}));
    // Re-install list first, then the install list at the same path.
    const std::string list = lineOf(packageUpdaterArgs(), 2);
    EXPECT_EQ(packageUpdaterArgs(),
              lineOf(packageUpdaterArgs(), 1) + "\n" + list + "\n" + list + "\n");
    const std::string timeText = list.substr(list.size() - 15);
    const std::string header = "###################\n# ";
    const std::string dateLines = " package list\n#   create date: " + timeText + "\n#\n";
    EXPECT_EQ(packageUpdaterList(2), header + "re-install(cancel)" + dateLines + "1 " +
                                         tmp.file("packages") + " tools bpkg_1.0_armhf.deb\n");
    EXPECT_EQ(packageUpdaterList(3), header + "update" + dateLines + "3 " + tmp.file("packages") +
                                         " tools epkg_3.0_armhf.deb\n");
    EXPECT_TRUE(testutil::exists(tmp.file("update_log/cancel.log_" + timeText)));
    EXPECT_TRUE(testutil::exists(tmp.file("update_log/update.log_" + timeText)));
    EXPECT_EQ(resultFile("logger_reboot"), "update\n203\n");
    EXPECT_TRUE(finishStarted(2));
    expectInOrder({
        "I : [cee_upd.cpp] ===== <1> get update targets : proc_info.id -> 3 : command_info.id -> "
        "3 : update id -> 203 : update type -> emargency",
        "I : [cee_upd.cpp] ===== <2> get cancel target : cancel cid total num -> 2 :: already "
        "executed num -> 1 : not executed num -> 1",
        "I : [cee_upd.cpp]           : [already installed] : proc_info.id -> 1 : command_info_id "
        "-> 1 : proc_status -> 1",
        "I : [cee_upd.cpp]           : [not executed] : proc_info.id -> 2 : command_info_id -> 2 "
        ": proc_status -> 0",
        "I : [cee_upd.cpp] ===== <3> get install package : install package num -> 1",
        "I : [cee_upd.cpp] ===== <6> get cancel package : find cancel package targets : "
        "re-install(cancel) package num -> 1",
        "I : [cee_upd.cpp] ===== <7> cancel pending updates : find update targets (cancel not "
        "execute proc info) : update num -> 1",
        "I : [cee_upd.cpp] ===== <8> create cancel package list : create cancel package list "
        "file -> " +
            list,
        "I : [cee_upd.cpp] in execPkgDownloadAndInstall (emargency) : update execution success "
        "-> 0",
        "I : [cee_upd.cpp] ===== <9> execute cancel : re-install success",
        "I : [cee_upd.cpp] ===== <10> update db for cancel : find re-install targets : "
        "proc_info.id -> 3 : command_info.id -> 3 : update type -> emargency",
        "I : [cee_upd.cpp] ===== <11> create install package list : create install package list "
        "file -> " +
            list,
        "I : [cee_upd.cpp] ===== <12> execute update : UPDATE SUCCESS : execUpdate : install "
        "success",
        "I : [cee_upd.cpp] Update execution success -> 0",
        "I : [cee_upd.cpp] success db commit!",
    });
}

TEST_F(CeeUpdRunTest, ReinstallWithoutOldVersionsPassesNoData) {
    useAgent();
    order("0", "301", {"bpkg_2.0_armhf.deb"}, {}, pendingNormal());
    // Executed, but no old version was ever recorded for its package.
    exec("UPDATE proc_info SET proc_status = 1");
    order("1", "302", {"epkg_3.0_armhf.deb"}, {"301"}, dueEmergency());
    installed({"epkg 1.0 armhf"});
    log.clear();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(lineOf(packageUpdaterArgs(), 1), "no_data");
    const std::string list = lineOf(packageUpdaterArgs(), 2);
    EXPECT_EQ(rows("SELECT proc_status FROM proc_info ORDER BY id"), (Rows{"3", "1"}));
    EXPECT_TRUE(finishStarted(1));
    expectInOrder({
        "I : [cee_upd.cpp] ===== <7> cancel pending updates : do nothing : cancel not execute "
        "list num -> 0",
        "W : [cee_upd.cpp] in writePackageList warning (emargency) : no packages to cancel : "
        "remove cancel list file (" +
            list + ")",
        "I : [cee_upd.cpp] ===== <8> create cancel package list : not create cancel package "
        "list file : no have cancel package",
        "I : [cee_upd.cpp] in execPkgDownloadAndInstall (emargency) : update execution success "
        "-> 0",
        "I : [cee_upd.cpp] ===== <9> execute cancel : re-install success",
        "I : [cee_upd.cpp] ===== <12> execute update : UPDATE SUCCESS : execUpdate : install "
        "success",
    });
}

TEST_F(CeeUpdRunTest, FailedReinstallUndoesItsCancelsAndCountsTheAttempt) {
    useAgent();
    order("0", "401", {"bpkg_2.0_armhf.deb"}, {}, dueNormal());
    installed({"bpkg 1.0 armhf"});
    ASSERT_EQ(run(), 0);
    order("0", "402", {"cpkg_2.0_armhf.deb"}, {}, pendingNormal());
    order("1", "403", {"epkg_3.0_armhf.deb"}, {"401", "402"}, dueEmergency());
    installed({"bpkg 2.0 armhf", "epkg 1.0 armhf"});
    packageUpdaterCodes("0\n1\n");  // the second call is the re-install
    log.clear();
    EXPECT_EQ(run(), 99);

    // The cancels of the attempt are undone (401 stays installed, 402 pending); the attempt
    // is recorded and retried like any other failure.
    const std::string failed = "<9> : re-install(cancel) execution failed -> 256";
    EXPECT_EQ(rows("SELECT id, command_info_id, exic_num, proc_status, r_result_str FROM "
                   "proc_info ORDER BY id"),
              (Rows{"1|1|0|1|", "2|2|0|0|NULL", "3|3|0|2|" + failed, "4|3|1|0|NULL"}));
    EXPECT_EQ(testutil::readFile(tmp.file("pu.count")), "2\n");  // nothing installed
    EXPECT_EQ(resultFile("update_failed"), "403\n" + failed + "\n");
    EXPECT_EQ(resultFile("logger_reboot"), "update\n401\n");
    EXPECT_TRUE(finishStarted(2));
    EXPECT_FALSE(log.contains("<10>")) << log.text();
}

TEST_F(CeeUpdRunTest, BatteryFirmwareNeedsTheBatteryToAnswer) {
    LoggerApp app;
    app.answer(batteryAnswer("TIMEOUT", {}));
    httpUrl = app.url();
    applySettings();
    useAgent();
    order("0", "501", {"tusk-batfw_2.0_armhf.deb"}, {}, dueNormal());
    installed({"tusk-batfw 1.0 armhf"});
    log.clear();
    EXPECT_EQ(run(), 99);
    const std::string failed = "<6.5> Storage battery connection check : FAILED";
    EXPECT_EQ(rows("SELECT id, exic_num, proc_status, r_result_str FROM proc_info ORDER BY id"),
              (Rows{"1|0|2|", "2|1|0|NULL"}));
    EXPECT_EQ(resultFile("update_failed"), "501\n" + failed + "\n");
    EXPECT_FALSE(testutil::exists(tmp.file("pu.args")));  // nothing installed
    EXPECT_EQ(app.bodies(), (Rows{kBatteryRequest}));
    expectInOrder({
        "I : [cee_upd.cpp] ===== <6> get cancel package : No re-install target(s). (cancel "
        "package)",
        "I : [cee_upd.cpp] in checkReceiveData : status -> TIMEOUT",
        "W : [cee_upd.cpp] ===== " + failed,
        "I : [cee_upd.cpp] ===== <13> update result to db : UPDATE FAILED : execUpdate : update "
        "success : proc_info.id -> 1 : result -> 2",
        "W : [cee_upd.cpp] Update execution failed -> 99 : update failed, but done re-schedule",
    });
    EXPECT_FALSE(log.contains("<11>")) << log.text();

    // Not installed either: the battery is still checked, and its text replaces step 4's.
    order("0", "502", {"tusk-batfw_2.0_armhf.deb"}, {}, dueNormal());
    installed({});
    log.clear();
    EXPECT_EQ(run(), 99);
    EXPECT_EQ(resultFile("update_failed"), "502\n" + failed + "\n");
    expectInOrder({
        "W : [cee_upd.cpp] ===== <4> get now installed package : Old package not found -> -4",
        "W : [cee_upd.cpp] ===== " + failed,
    });
    EXPECT_EQ(app.bodies().size(), 2u);

    // The battery answers: one check for the run, then the installation.
    app.answer(batteryAnswer("SUCCESS", {"0x31"}));
    order("0", "503", {"abc_1.0_armhf.deb", "tusk-batfw_2.0_armhf.deb", "tusk-batfw-x_1_all.deb"},
          {}, dueNormal());
    installed({"abc 0.9 armhf", "tusk-batfw 1.0 armhf", "tusk-batfw-x 0 all"});
    log.clear();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(app.bodies().size(), 3u);
    expectInOrder({
        "I : [cee_upd.cpp] ===== <6.5> Storage battery connection check : SUCCESS : "
        "tusk-batfw_2.0_armhf.deb",
        "I : [cee_upd.cpp] ===== <12> execute update : UPDATE SUCCESS : execUpdate : install "
        "success",
    });
    EXPECT_EQ(rows("SELECT old_package_filename FROM package_list WHERE command_info_id = 3 "
                   "ORDER BY seq_no"),
              (Rows{"abc_0.9_armhf.deb", "tusk-batfw_1.0_armhf.deb", "tusk-batfw-x_0_all.deb"}));
    EXPECT_TRUE(finishStarted(3));
}
