// cee-status: its command line, the lines its text report shows for the rows of a database
// written by the agent's own code and for the result files, reading beside writers (in WAL
// mode) and after a writer died, and missing or foreign database files. The program as a whole
// (exit statuses, JSON report, untouched files) runs in tests/e2e/test_programs.py.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <tuple>

#include "CommandLine.h"
#include "DbController.h"
#include "StatusOptions.h"
#include "StatusReader.h"
#include "StatusReport.h"
#include "TestUtil.h"
#include "UpdHealthStore.h"
#include "UpdJobStore.h"

using namespace zorstatus;

// A database written by the agent's own code, with the updater's changes made in SQL:
//   orders 1-3: forwarding orders (2 failed, the others without a result yet)
//   job 4 "1100" normal:    installed, then cancelled after install
//   job 5 "1201" emergency: cancels 1100 and the unknown 0999; packages abc and fw; try 0
//                           failed (installer), try 1 failed, try 2 scheduled
// Local time is UTC+9 (TZ=JST-9, as in every test): stored UTC times show 9 hours later, and the
// due times, stored for LOCALE_HOUR 8 here, one hour later. UPD_RETRY_NUM is 4.
class CeeStatusDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zorcee::db::DbController db;
        ASSERT_EQ(db.init(tmp.path(), "cee.db", "cee.lock", "upd.lock"), 0);
        ASSERT_TRUE(db.open());
        for (const char* command : {"Restart", "ReadFromEchonetDevice", "GetMeasurementData"}) {
            db.insertCommandInfoBasic(command, "<r/>", "2026/12/07 09:00:00");
        }
        db.updateCommandInfoAtId(2, "8082 port send error.", 7, "");
        addJob(db, 4, "1100", 0, {"/var/repos/pool/abc_1.1_armhf.deb"}, {});
        addJob(db, 5, "1201", 1,
               {"/var/repos/pool/abc_1.2_armhf.deb", "/var/repos/fw/batfw_2.0_armhf.deb"},
               {"1100", "0999"});
        sqlite3_exec(db.getDb(), R"(
UPDATE proc_info SET proc_status = 3, cancel_time = '2026-12-07 14:45:00' WHERE command_info_id = 4;
UPDATE proc_info SET proc_status = 2, r_start_time = '2026-12-07 14:45:02', r_end_time =
  '2026-12-07 14:45:09', r_result_str = '<12> UPDATE FAILED' || char(27) || '[31m -> 256'
  WHERE command_info_id = 5;
INSERT INTO proc_info (command_info_id, exic_num, sched_proc_time, proc_status) VALUES
  (5, 1, '2026-12-07 23:47:09', 2), (5, 2, '2026-12-07 23:52:01', 0);)",
                     nullptr, nullptr, nullptr);
        // Try 1's install attempt has its outcome; try 2's was cut off.
        ASSERT_TRUE(zorcommon::ensureInstallJournal(db.getDb()));
        sqlite3_exec(db.getDb(), R"(
INSERT INTO install_journal (proc_info_id, command_info_id, kind, files, begin_time, outcome)
  VALUES (3, 5, 0, 'abc_1.2_armhf.deb', '2026-12-07 14:50:00', 1),
  (4, 5, 0, 'abc_1.2_armhf.deb', '2026-12-07 15:55:00', NULL);)",
                     nullptr, nullptr, nullptr);
        // Job 4's installation was verified before it was cancelled.
        ASSERT_TRUE(zorcommon::ensureHealthTable(db.getDb()));
        zorcommon::HealthRecord verified;
        verified.proc_info_id = 1;
        verified.verdict = zorcommon::kVerdictVerified;
        ASSERT_TRUE(zorcommon::insertHealthRecord(db.getDb(), verified));
        testutil::writeFile(tmp.file("update_failed"), "1201\n<4> Old package not found\n");
        settings = {tmp.file("cee.db"), tmp.path(), "logger_reboot", "update_failed", 4, 8, {}};
    }

    // One update order as the agent records it, first run due at 23:41:10 (UTC+9 wall-clock).
    using Strings = std::vector<std::string>;
    static void addJob(zorcee::db::DbController& db, int id, const std::string& commandId, int type,
                       const Strings& packages, const Strings& cancels) {
        ASSERT_EQ(db.insertCommandInfoBasic("UpdateLogger", "<u/>", "2026/12/07 10:00:00"), id);
        db.updateCommandInfoForUpd(id, commandId, "REQ-" + commandId, type, "2026-12-07 23:41:10");
        db.insertPackageList(id, "/var/repos/", packages);
        Strings found;
        db.selectCommandInfoForCancel(cancels, found);
        db.insertCancelCidList(id, cancels, found);
        ASSERT_EQ(db.insertProcInfo(id, "2026-12-07 23:41:10"), 1);
    }

    int read(int orders = 10, int busyMs = kDefaultBusyTimeoutMs) {
        return readSnapshot(settings.database, orders, busyMs, snap, error);
    }

    testutil::TempDir tmp;
    StatusSettings settings;
    Snapshot snap;
    std::string error;
};

TEST(CeeStatusOptions, CommandLine) {
    StatusOptions o;
    std::ostringstream out, err;
    const auto parse = [&](std::vector<const char*> args) {
        args.insert(args.begin(), "cee-status");
        err.str("");
        return parseStatusCommandLine(static_cast<int>(args.size()),
                                      const_cast<char**>(args.data()), o, out, err);
    };
    EXPECT_EQ(parse({"-c", "a", "--updater-config=b", "--db", "x.db", "--orders=0", "--json"}),
              zorcommon::kContinue);
    EXPECT_EQ(o.agentConfig + o.updaterConfig + o.database + std::to_string(o.orders) +
                  (o.json ? " json" : ""),
              "abx.db0 json");
    // A usage error (exit status 64) is a message on stderr and nothing on stdout.
    for (const char* bad : {"--bogus", "--orders=many", "--orders=-1", "--orders=99999999999",
                            "--orders", "--db=", "--json=1", "extra"}) {
        EXPECT_EQ(parse({bad}), zorcommon::kUsageError) << bad;
        EXPECT_EQ(out.str() + err.str().substr(0, 12), "cee-status: ") << bad;
    }
}

TEST_F(CeeStatusDbTest, TextReportShowsTheLinesAnOperatorLooksFor) {
    const auto files = readResultFiles(tmp.path(), {"logger_reboot", "update_failed"});
    ASSERT_EQ(read(4), kReadOk) << error;
    const std::string text = renderText(Report{snap, files, settings, 1765100000});
    EXPECT_EQ(text.find("Restart"), std::string::npos) << text;  // order 1
    for (const char* line :
         {"Orders: last 4 of 5", "8082 port send error.",
          "Job 5  emergency  command id 1201  request REQ-1201", "Scheduled  2026-12-08 00:41:10",
          "2. fw/batfw_2.0_armhf.deb\n", "1. command id 1100  cancel\n",
          "2. command id 0999  ignored", "try 0  run 2  due 2026-12-08 00:41:10  failed",
          "ran 2026-12-07 23:45:02 to 2026-12-07 23:45:09",
          "result: <12> UPDATE FAILED?[31m -> 256",
          "try 2  run 4  due 2026-12-08 00:52:01  scheduled", "Retries    2 left (UPD_RETRY_NUM 4)",
          "cancelled 2026-12-07 23:45:00", "health: verified healthy", "logger_reboot  not present",
          "update_failed  modified ", "<4> Old package not found",
          "try 2  run 4  due 2026-12-08 00:52:01  scheduled\n"
          "               attempt: install begun 2026-12-08 00:55:00, no outcome (cut off;"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    EXPECT_EQ(text.find("attempt:"), text.rfind("attempt:")) << text;
}

// What an operator reads of a run's health check, by its record and the run's state.
TEST(CeeStatusReport, HealthOfARun) {
    const long long now = 1765100000;
    zorcommon::HealthRecord pending;
    pending.starts = 1;
    pending.passed = 1;
    pending.window_end = "2025-12-07 09:35:00";  // 100 s after now, UTC
    auto with = [](zorcommon::HealthRecord h, auto change) { return change(h), h; };
    const struct {
        long long state;
        std::optional<zorcommon::HealthRecord> health;
        std::string text;
    } cases[] = {
        {1, std::nullopt, ""},
        {1, pending,
         "verification of the installation pending: 1 check(s) passed in a row, 100 s "
         "left in the window"},
        {1, with(pending, [](auto& h) { h.starts = 0, h.phase = zorcommon::kVerifyRollback; }),
         "verification of the roll-back pending: 1 check(s) passed in a row, the next start of "
         "the updater checks"},
        {3, pending, ""},  // cancelled while being verified
        {1,
         with(pending,
              [](auto& h) {
                  h.verdict = zorcommon::kVerdictUnverified, h.baseline_ok = false,
                  h.baseline_detail = "http : no answer -> 7";
              }),
         "unverified: unhealthy before the installation (http : no answer -> 7)"},
        {6,
         with(pending,
              [](auto& h) {
                  h.verdict = zorcommon::kVerdictRolledBack, h.detail = "command : exit 1";
              }),
         "rolled back after a failed health check: command : exit 1"},
        {7,
         with(pending,
              [](auto& h) {
                  h.verdict = zorcommon::kVerdictRollbackFailed, h.detail = "command : exit 1";
              }),
         "roll-back failed or not done: command : exit 1"},
    };
    for (const auto& c : cases) {
        RunRow run;
        run.state = c.state;
        run.health = c.health;
        EXPECT_EQ(healthText(run, now), c.text);
    }
    EXPECT_EQ(runStateText(6) + " / " + runStateText(7),
              "rolled back after a failed health check / roll-back failed");
}

// The database is in WAL mode: a writer's open transaction holds back no reader; only a
// connection that holds the file in exclusive locking mode makes the reader wait.
TEST_F(CeeStatusDbTest, ReadsBesideAWriterAndWaitsForAnExclusiveHolderUpToItsBusyTimeout) {
    sqlite3* writer = nullptr;  // a second connection, as the agent or the updater holds one
    ASSERT_EQ(sqlite3_open(settings.database.c_str(), &writer), SQLITE_OK);
    const char* late = "BEGIN IMMEDIATE; INSERT INTO command_info (command_json) VALUES ('Late')";
    ASSERT_EQ(sqlite3_exec(writer, late, nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(read(1, 50), kReadOk) << error;
    EXPECT_EQ(snap.orders.size() == 1 ? snap.orders[0].command : "", "UpdateLogger");
    const char* hold = "COMMIT; PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE;";
    ASSERT_EQ(sqlite3_exec(writer, hold, nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(read(1, 50), kReadBusy);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // only makes it wait
        sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(writer);
    });
    EXPECT_EQ(read(1, 60000), kReadOk) << error;
    release.join();
    EXPECT_EQ(snap.orders.size() == 1 ? snap.orders[0].command : "", "Late");
}

// A writer that died after its commit leaves the write-ahead log behind: the reader finds the
// committed row (and no half of a transaction that was not committed).
TEST_F(CeeStatusDbTest, ReadsWhatAWriterThatDiedHadCommitted) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(settings.database.c_str(), &db);
        sqlite3_exec(db,
                     "INSERT INTO command_info (command_json) VALUES ('Committed'); BEGIN; "
                     "INSERT INTO command_info (command_json) VALUES ('Open');",
                     nullptr, nullptr, nullptr);
        _exit(0);  // no close: as if killed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(testutil::exists(settings.database + "-wal"));
    EXPECT_EQ(read(2, 50), kReadOk) << error;
    EXPECT_EQ(snap.orders.size() == 2 ? snap.orders[0].command + " " + snap.orders[1].command : "",
              "Committed UpdateLogger");
}

TEST_F(CeeStatusDbTest, MissingOrForeignDatabase) {
    // Each of these ends the program with exit status 1 and the reason on stderr; nothing is
    // created or written.
    testutil::writeFile(tmp.file("empty.db"), "");  // the agent accepts one as existing
    testutil::writeFile(tmp.file("text.db"), std::string(2048, 'x'));
    for (const auto& [path, rc, reason] : std::vector<std::tuple<std::string, int, const char*>>{
             {tmp.file("sub/none.db"), kReadMissing, "database not found: "},
             {tmp.path(), kReadOpenFailed, ""},
             {tmp.file("empty.db"), kReadQueryFailed, "no such table"},
             {tmp.file("text.db"), kReadQueryFailed, "not a database"},
             // A name that SQLite would take as a URI is a plain file name here.
             {"file:" + tmp.file("cee.db") + "?mode=rwc", kReadMissing, "database not found"}}) {
        settings.database = path;
        EXPECT_EQ(read(), rc) << path;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    EXPECT_FALSE(testutil::exists(tmp.file("sub")));
    EXPECT_EQ(testutil::readFile(tmp.file("empty.db")), "");
}
