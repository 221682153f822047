// cee-updater's core: start-up and shutdown, the alive check, signals arriving while a command
// runs, and an update run up to finding the due run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdlib>
#include <regex>

#include "DbController.h"
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
                        R"({"BROKER_URI": "tcp://127.0.0.1:9", "CONNECT_TIMEOUT_S": 1})");
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
    const std::string lock = tmp.file("db") + "/db_upd.lock";
    testutil::writeFile(lock, "");
    cee_upd updater;
    log.clear();
    EXPECT_EQ(updater.runUpdateProcess(), -2);
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [cee_upd.cpp] : === start update process. ===\n"
              "I : [DbUpdController.cpp] in open : create lock file [RO] -> failed!\n"
              "W : [cee_upd.cpp] Database open failed. -> false\n"
              "I : [DbUpdController.cpp] in close : remove lock file [RO] -> success\n");
    EXPECT_FALSE(testutil::exists(lock));  // so that the next start can open
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
