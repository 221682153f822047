// cee-status: command line and settings, time conversion, the read-only snapshot of a database
// made by the agent's own schema code (also beside a writer), and the text report. The JSON
// report and the untouched files are checked on the program in tests/e2e/test_cee_status.py.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>

#include "CommandLine.h"
#include "DbController.h"
#include "StatusOptions.h"
#include "StatusReader.h"
#include "StatusReport.h"
#include "StatusTime.h"
#include "TestUtil.h"

using namespace zorstatus;

namespace {

// Sets TZ for one test and puts the old value back.
class TimeZone {
  public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

int parse(std::vector<std::string> args, StatusOptions& options, std::string& out,
          std::string& err) {
    args.insert(args.begin(), "cee-status");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    std::ostringstream o, e;
    const int rc =
        parseStatusCommandLine(static_cast<int>(argv.size()), argv.data(), options, o, e);
    out = o.str();
    err = e.str();
    return rc;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

size_t columns(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

// A second connection, as the agent or the updater holds one.
class Writer {
  public:
    explicit Writer(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Writer() { sqlite3_close_v2(db_); }
    int exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }

  private:
    sqlite3* db_ = nullptr;
};

// A database built and filled by the agent's own code, with the updater's changes made in SQL:
//   orders 1-3: forwarding orders (ok, failed, no result yet)
//   job 4 "1100" normal:    run 0 installed, then cancelled after install (3)
//   job 5 "1150" normal:    run 0 cancelled before execution (4)
//   job 6 "1201" emergency: cancels 1100, 1150 and the unknown 0999; packages abc and fw;
//                           run 0 failed (installer), run 1 failed (aborted), run 2 scheduled
//   job 7 "1300" normal:    run 0 superseded (5) by job 8
//   job 8 "1300" normal:    run 0 installed (1)
class CeeStatusDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        using zorcee::db::DbController;
        DbController setup;
        ASSERT_EQ(setup.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
        DbController db;
        ASSERT_TRUE(db.open(tmp.path(), "cee_pkg_upd.db"));
        ASSERT_EQ(db.insertCommandInfoBasic("Restart", "<r/>", "2026/12/07 09:00:00"), 1);
        db.updateCommandInfoAtId(1, "", 0, "<ok/>");
        ASSERT_EQ(db.insertCommandInfoBasic("ReadFromEchonetDevice", "<r/>", "2026/12/07 09:01:00"),
                  2);
        db.updateCommandInfoAtId(2, "8082 port send error.", 7, "");
        ASSERT_EQ(db.insertCommandInfoBasic("GetMeasurementData", "<r/>", "2026/12/07 09:02:00"),
                  3);

        addJob(db, 4, "1100", 0, {"/var/repos/pool/abc_1.1_armhf.deb"}, {});
        addJob(db, 5, "1150", 0, {"/var/repos/pool/def_1.0_armhf.deb"}, {});
        addJob(db, 6, "1201", 1,
               {"/var/repos/pool/abc_1.2_armhf.deb", "/var/repos/fw/tusk-batfw_2.0_armhf.deb"},
               {"1100", "1150", "0999"});
        addJob(db, 7, "1300", 0, {"/var/repos/pool/ghi_3.0_armhf.deb"}, {});
        ASSERT_EQ(db.updateProcInfo("1300"), 1);
        addJob(db, 8, "1300", 0, {"/var/repos/pool/ghi_3.0_armhf.deb"}, {});
        sqlite3* h = db.getDb();
        auto sql = [h](const std::string& s) {
            ASSERT_EQ(sqlite3_exec(h, s.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << s;
        };
        sql("UPDATE proc_info SET proc_status = 3, r_start_time = '2026-12-06 14:00:05', "
            "r_end_time = '2026-12-06 14:00:40', cancel_time = '2026-12-07 14:45:00' "
            "WHERE command_info_id = 4");
        sql("UPDATE proc_info SET proc_status = 4, cancel_time = '2026-12-07 14:45:00' "
            "WHERE command_info_id = 5");
        sql("UPDATE package_list SET old_package_filename = 'abc_1.1_armhf.deb' "
            "WHERE command_info_id = 6 AND seq_no = 1");
        sql("UPDATE proc_info SET proc_status = 2, r_start_time = '2026-12-07 14:45:02', "
            "r_end_time = '2026-12-07 14:45:09', r_result_str = '<12> execute update : UPDATE "
            "FAILED : install execution failed -> 256' WHERE command_info_id = 6");
        sql("INSERT INTO proc_info ( command_info_id, exic_num, sched_proc_time, proc_status, "
            "r_start_time, r_end_time, r_result_str ) VALUES ( 6, 1, '2026-12-07 23:47:09', 2, "
            "'2026-12-07 14:50:00', '2026-12-07 14:50:01', '' )");
        sql("INSERT INTO proc_info ( command_info_id, exic_num, sched_proc_time ) "
            "VALUES ( 6, 2, '2026-12-07 23:52:01' )");
        sql("UPDATE proc_info SET proc_status = 1, r_start_time = '2026-12-08 14:10:00', "
            "r_end_time = '2026-12-08 14:10:30', r_result_str = '' WHERE command_info_id = 8");
        db.close();

        testutil::writeFile(tmp.file("update_failed"), "1201\n<4> Old package not found\n");
        settings.database = tmp.file("cee_pkg_upd.db");
        settings.resultDir = tmp.path();
        settings.resultFile = "logger_reboot";
        settings.resultFailFile = "update_failed";
        settings.sources = {{"cee.conf", "read"}, {"cee_upd.conf", "read"}};
    }

    // One update order as the agent records it; the first run is due at 23:41:10 of 7 December
    // in the database's UTC+9 wall-clock.
    static void addJob(zorcee::db::DbController& db, int id, const std::string& commandId, int type,
                       const std::vector<std::string>& packages,
                       const std::vector<std::string>& cancels) {
        ASSERT_EQ(db.insertCommandInfoBasic("UpdateLogger", "<u/>", "2026/12/07 10:00:00"), id);
        ASSERT_EQ(db.updateCommandInfoForUpd(id, commandId, "REQ-" + commandId, type,
                                             "2026-12-07 23:41:10"),
                  1);
        ASSERT_EQ(db.insertPackageList(id, "/var/repos/", packages),
                  static_cast<int>(packages.size()));
        std::vector<std::string> found;
        db.selectCommandInfoForCancel(cancels, found);
        ASSERT_EQ(db.insertCancelCidList(id, cancels, found), static_cast<int>(cancels.size()));
        ASSERT_EQ(db.insertProcInfo(id, "2026-12-07 23:41:10"), 1);
        db.updateCommandInfoAtId(id, "", 0, "<NotifyUpdateLoggerResponse/>");
    }

    int read(Snapshot& snapshot, int orders = 10, int busyMs = kDefaultBusyTimeoutMs) {
        error.clear();
        return readSnapshot(settings.database, orders, busyMs, snapshot, error);
    }

    const UpdateJob& job(const Snapshot& s, long long id) {
        for (const auto& j : s.jobs) {
            if (j.id == id) {
                return j;
            }
        }
        throw std::runtime_error("no job " + std::to_string(id));
    }

    TimeZone tz{"JST-9"};
    testutil::TempDir tmp;
    StatusSettings settings;
    std::string error;
};

}  // namespace

TEST(CeeStatusOptions, CommandLine) {
    StatusOptions o;
    std::string out, err;
    EXPECT_EQ(parse({}, o, out, err), zorcommon::kContinue);
    EXPECT_EQ(o.agentConfig, "/usr/local/etc/zorcee/cee.conf");
    EXPECT_EQ(o.updaterConfig, "/usr/local/etc/zorcee/cee_upd.conf");
    EXPECT_EQ(o.orders, 10);
    EXPECT_FALSE(o.json);
    EXPECT_TRUE(o.database.empty());

    o = StatusOptions{};
    EXPECT_EQ(parse({"--config", "a.conf", "--updater-config=b.conf", "--db", "x.db", "--orders=3",
                     "--json"},
                    o, out, err),
              zorcommon::kContinue);
    EXPECT_EQ(o.agentConfig, "a.conf");
    EXPECT_EQ(o.updaterConfig, "b.conf");
    EXPECT_EQ(o.database, "x.db");
    EXPECT_EQ(o.orders, 3);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(parse({"-c", "c.conf", "--orders", "0"}, o, out, err), zorcommon::kContinue);
    EXPECT_EQ(o.agentConfig, "c.conf");
    EXPECT_EQ(o.orders, 0);
    EXPECT_TRUE(err.empty());

    EXPECT_EQ(parse({"--help"}, o, out, err), 0);
    EXPECT_NE(out.find("Usage: cee-status"), std::string::npos);
    EXPECT_NE(out.find("--updater-config FILE"), std::string::npos);
    EXPECT_EQ(parse({"-V"}, o, out, err), 0);
    EXPECT_EQ(out.rfind("cee-status ", 0), 0u);

    // Every usage error is one line on stderr and nothing on stdout.
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--bogus"},
                                                                 {"--orders", "many"},
                                                                 {"--orders=-1"},
                                                                 {"--orders", "99999999999"},
                                                                 {"--orders"},
                                                                 {"--db="},
                                                                 {"--json=1"},
                                                                 {"extra"}}) {
        SCOPED_TRACE(bad.front());
        EXPECT_EQ(parse(bad, o, out, err), zorcommon::kUsageError);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(err.rfind("cee-status: ", 0), 0u);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
}

TEST(CeeStatusOptions, SettingsFromBothFiles) {
    testutil::TempDir tmp;
    StatusOptions o;
    o.agentConfig = tmp.file("cee.conf");
    o.updaterConfig = tmp.file("cee_upd.conf");

    // Missing files: the programs' defaults, and the shared loader's complaint is not shown.
    std::ostringstream captured;
    auto* old = std::cerr.rdbuf(captured.rdbuf());
    StatusSettings s;
    loadStatusSettings(o, s);
    std::cerr.rdbuf(old);
    EXPECT_EQ(captured.str(), "");
    EXPECT_EQ(s.database, "/var/local/zorcee/cee_pkg_upd.db");
    EXPECT_EQ(s.resultDir, "/var/tmp");
    EXPECT_EQ(s.resultFile, "logger_reboot");
    EXPECT_EQ(s.resultFailFile, "update_failed");
    EXPECT_EQ(s.retryLimit, 5);
    EXPECT_EQ(s.localeHour, 9);
    ASSERT_EQ(s.sources.size(), 2u);
    EXPECT_EQ(s.sources[0].status, "not found, defaults used");

    testutil::writeFile(o.agentConfig,
                        R"({"DATABASE": {"DB_PATH": "/data/db", "DB_FILE": "c.db"},
                            "PKG_UPDATE": {"LOCALE_HOUR": 8}})");
    testutil::writeFile(o.updaterConfig,
                        R"({"PKG_UPDATE": {"RESULT_DIR": "/data/res", "RESULT_FILE": "ok",
                                           "RESULT_FAIL_FILE": "ng"},
                            "UPDATE_RETRY": {"UPD_RETRY_NUM": 2.9},
                            "DATABASE": {"DB_PATH": "/elsewhere"}})");
    s = StatusSettings{};
    loadStatusSettings(o, s);
    EXPECT_EQ(s.database, "/data/db/c.db");
    EXPECT_EQ(s.localeHour, 8);
    EXPECT_EQ(s.resultDir, "/data/res");
    EXPECT_EQ(s.resultFile, "ok");
    EXPECT_EQ(s.resultFailFile, "ng");
    EXPECT_EQ(s.retryLimit, 2);
    EXPECT_EQ(s.sources[0].status, "read");
    EXPECT_EQ(s.sources[1].status, "read");

    o.database = "/other.db";
    testutil::writeFile(o.updaterConfig, "{ not json");
    old = std::cerr.rdbuf(captured.rdbuf());
    s = StatusSettings{};
    loadStatusSettings(o, s);
    std::cerr.rdbuf(old);
    EXPECT_EQ(s.database, "/other.db");
    EXPECT_EQ(s.retryLimit, 5);
    EXPECT_EQ(s.sources[1].status, "not valid JSON, defaults used");
}

TEST(CeeStatusTime, BothStoredKindsBecomeLocalTime) {
    long long epoch = 0;
    ASSERT_TRUE(parseDbTime("2026-12-07 23:41:10", 9, epoch));
    long long utc = 0;
    ASSERT_TRUE(parseDbTime("2026-12-07 14:41:10", 0, utc));
    EXPECT_EQ(epoch, utc);
    ASSERT_TRUE(parseDbTime("2026-12-07 22:41:10", 8, epoch));
    EXPECT_EQ(epoch, utc);
    for (const char* bad :
         {"", "2026-12-07T23:41:10", "2026-12-07 23:41", "2026-13-07 23:41:10",
          "2026-12-07 24:00:00", "2026-12-07 23:41:10.5", "x026-12-07 23:41:10"}) {
        EXPECT_FALSE(parseDbTime(bad, 0, epoch)) << bad;
    }
    {
        TimeZone tz("JST-9");
        EXPECT_EQ(localText(std::string("2026-12-07 23:41:10"), 9), "2026-12-07 23:41:10");
        EXPECT_EQ(localText(std::string("2026-12-07 15:30:00"), 0), "2026-12-08 00:30:00");
        EXPECT_EQ(localIsoText(std::string("2026-12-07 15:30:00"), 0),
                  std::optional<std::string>("2026-12-08T00:30:00+09:00"));
        EXPECT_EQ(localUtcOffset(utc), "+09:00");
    }
    {
        TimeZone tz("UTC0");
        EXPECT_EQ(localText(std::string("2026-12-07 23:41:10"), 9), "2026-12-07 14:41:10");
        EXPECT_EQ(localIsoText(std::string("2026-12-07 23:41:10"), 9),
                  std::optional<std::string>("2026-12-07T14:41:10+00:00"));
    }
    {
        TimeZone tz("XST+3:30");
        EXPECT_EQ(formatLocalIso(utc), "2026-12-07T11:11:10-03:30");
    }
    // Unreadable texts are shown as stored; NULL shows as nothing.
    EXPECT_EQ(localText(std::string("soon"), 9), "soon");
    EXPECT_EQ(localIsoText(std::string("soon"), 9), std::optional<std::string>("soon"));
    EXPECT_EQ(localText(std::nullopt, 9), "");
    EXPECT_EQ(localIsoText(std::nullopt, 9), std::nullopt);
}

TEST(CeeStatusReport, WordsRetriesAndSafeText) {
    EXPECT_EQ(runStateText(0), "scheduled");
    EXPECT_EQ(runStateText(1), "installed");
    EXPECT_EQ(runStateText(2), "failed");
    EXPECT_EQ(runStateText(3), "cancelled after install");
    EXPECT_EQ(runStateText(4), "cancelled before execution");
    EXPECT_EQ(runStateText(5), "superseded");
    EXPECT_EQ(runStateText(9), "unknown state 9");
    EXPECT_EQ(updateTypeText(0), "normal");
    EXPECT_EQ(updateTypeText(1), "emergency");
    EXPECT_EQ(updateTypeText(2), "normal (type 2)");
    EXPECT_EQ(orderResultText(0LL), "ok");
    EXPECT_EQ(orderResultText(-6LL), "error -6");
    EXPECT_EQ(orderResultText(std::nullopt), "no result");

    auto jobWith = [](std::vector<std::pair<long long, long long>> tryAndState) {
        UpdateJob j;
        for (const auto& [tryNumber, state] : tryAndState) {
            RunRow r;
            r.tryNumber = tryNumber;
            r.state = state;
            j.runs.push_back(r);
        }
        return j;
    };
    EXPECT_EQ(retriesLeft(jobWith({{0, 0}}), 5), 5);
    EXPECT_EQ(retriesLeft(jobWith({{0, 2}, {1, 2}, {2, 0}}), 5), 3);
    EXPECT_EQ(retriesLeft(jobWith({{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}}), 5), 0);
    EXPECT_EQ(retriesLeft(jobWith({{0, 2}, {1, 2}, {2, 2}}), 1), 0);  // never below 0
    EXPECT_EQ(retriesLeft(jobWith({{0, 2}, {1, 1}}), 5), std::nullopt);
    EXPECT_EQ(retriesLeft(jobWith({{0, 4}}), 5), std::nullopt);
    EXPECT_EQ(retriesLeft(jobWith({}), 5), std::nullopt);

    EXPECT_EQ(printable("a\tb\nc\x1b[31md\x7f"), "a b c?[31md?");
    EXPECT_EQ(printable("caf\xC3\xA9 \xFF\xC3 \xE3\x81\x82"), "caf\xC3\xA9 ?? \xE3\x81\x82");
    EXPECT_EQ(printable("\xC0\xAF\xED\xA0\x80"), "?????");  // overlong form, surrogate

    const std::string words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda";
    const auto wrapped = wrapText(words, 20);
    ASSERT_GE(wrapped.size(), 3u);
    std::string joined;
    for (const auto& l : wrapped) {
        EXPECT_LE(l.size(), 20u) << l;
        joined += (joined.empty() ? "" : " ") + l;
    }
    EXPECT_EQ(joined, words);
    // Without blanks the text is cut between characters, never inside one.
    std::string kana;
    for (int i = 0; i < 30; ++i) {
        kana += "\xE3\x81\x82";
    }
    const auto cut = wrapText(kana, 20);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].size(), 60u);
    EXPECT_EQ(cut[1].size(), 30u);
}

TEST_F(CeeStatusDbTest, SnapshotOfOrdersJobsAndRuns) {
    Snapshot s;
    ASSERT_EQ(read(s, 4), kReadOk) << error;
    EXPECT_EQ(s.orderTotal, 8);
    ASSERT_EQ(s.orders.size(), 4u);
    EXPECT_EQ(s.orders.front().id, 8);
    EXPECT_EQ(s.orders.back().id, 5);

    ASSERT_EQ(read(s, 10), kReadOk) << error;
    ASSERT_EQ(s.orders.size(), 8u);
    const OrderRow& failed = s.orders[6];
    EXPECT_EQ(failed.command, "ReadFromEchonetDevice");
    EXPECT_EQ(failed.serverTime, std::optional<std::string>("2026-12-07 09:01:00"));
    EXPECT_EQ(failed.result, std::optional<long long>(7));
    EXPECT_EQ(failed.error, "8082 port send error.");
    EXPECT_EQ(s.orders[5].result, std::nullopt);  // still running: no result recorded

    ASSERT_EQ(s.jobs.size(), 5u);
    EXPECT_EQ(s.jobs.front().id, 8);
    const UpdateJob& emergency = job(s, 6);
    EXPECT_EQ(emergency.commandId, "1201");
    EXPECT_EQ(emergency.type, 1);
    EXPECT_EQ(emergency.requestId, "REQ-1201");
    ASSERT_EQ(emergency.packages.size(), 2u);
    EXPECT_EQ(emergency.packages[1].oldFile, std::nullopt);
    ASSERT_EQ(emergency.cancels.size(), 3u);
    ASSERT_EQ(emergency.runs.size(), 3u);
    EXPECT_EQ(emergency.runs[0].state, 2);
    EXPECT_EQ(emergency.runs[1].tryNumber, 1);
    EXPECT_EQ(emergency.runs[2].state, 0);
    EXPECT_EQ(emergency.runs[2].started, std::nullopt);
    EXPECT_EQ(job(s, 7).runs.at(0).state, 5);
    EXPECT_EQ(job(s, 8).runs.at(0).state, 1);
}

TEST_F(CeeStatusDbTest, TextReport) {
    Snapshot s;
    ASSERT_EQ(read(s, 4), kReadOk) << error;
    const auto files = readResultFiles(tmp.path(), {"logger_reboot", "update_failed"});
    const std::string text = renderText(Report{s, files, settings, 1765100000});
    SCOPED_TRACE(text);
    auto has = [&](const std::string& needle) { return text.find(needle) != std::string::npos; };

    EXPECT_TRUE(has("Orders: last 4 of 8 (newest first)"));
    EXPECT_FALSE(has("8082 port send error."));  // order 2 is older than the last four
    EXPECT_TRUE(has("Job 6  emergency  command id 1201  request REQ-1201"));
    EXPECT_TRUE(has("  Scheduled  2026-12-07 23:41:10\n"));
    EXPECT_TRUE(
        has("  Packages   1. pool/abc_1.2_armhf.deb  (installed before: abc_1.1_armhf.deb)\n"
            "             2. fw/tusk-batfw_2.0_armhf.deb\n"));
    EXPECT_TRUE(has("  Cancels    1. command id 1100  cancel\n"));
    EXPECT_TRUE(has("             3. command id 0999  ignored (no such update when ordered)\n"));
    // Runs of job 6, due times as stored (UTC+9 = local here), run times converted from UTC.
    EXPECT_TRUE(
        has("  Runs       try 0  run 3  due 2026-12-07 23:41:10  failed\n"
            "               ran 2026-12-07 23:45:02 to 2026-12-07 23:45:09\n"
            "               result: <12> execute update : UPDATE FAILED : install "
            "execution failed -> 256\n"
            "             try 1  run 6  due 2026-12-07 23:47:09  failed\n"
            "               ran 2026-12-07 23:50:00 to 2026-12-07 23:50:01\n"
            "             try 2  run 7  due 2026-12-07 23:52:01  scheduled\n"
            "  Retries    3 left (UPD_RETRY_NUM 5)\n"));
    EXPECT_TRUE(
        has("cancelled after install\n               ran 2026-12-06 23:00:05 to "
            "2026-12-06 23:00:40\n               cancelled 2026-12-07 23:45:00\n"));
    EXPECT_TRUE(has("  cancelled before execution\n"));
    EXPECT_TRUE(has("  superseded\n"));
    EXPECT_TRUE(has("  installed\n"));
    // Only job 6 can still be retried.
    EXPECT_EQ(text.find("Retries"), text.rfind("Retries"));
    EXPECT_TRUE(has("Result files in " + tmp.path() + "\n"));
    EXPECT_TRUE(has("  logger_reboot  not present\n"));
    EXPECT_TRUE(has("  update_failed  modified "));
    EXPECT_TRUE(has("                 1201\n                 <4> Old package not found\n"));
    for (const auto& line : lines(text)) {
        EXPECT_LE(columns(line), kTextWidth) << line;
    }

    // A different retry limit and time zone change only their own lines.
    settings.retryLimit = 2;
    {
        TimeZone utc("UTC0");
        const std::string other = renderText(Report{s, files, settings, 1765100000});
        EXPECT_NE(other.find("  Retries    0 left (UPD_RETRY_NUM 2)\n"), std::string::npos);
        EXPECT_NE(other.find("  Scheduled  2026-12-07 14:41:10\n"), std::string::npos);
        EXPECT_NE(other.find("try 0  run 3  due 2026-12-07 14:41:10  failed\n"
                             "               ran 2026-12-07 14:45:02 to 2026-12-07 14:45:09\n"),
                  std::string::npos);
    }
}

TEST_F(CeeStatusDbTest, ReadsBesideWritersAndSeesOnlyCommittedRows) {
    Writer writer(settings.database);
    ASSERT_EQ(writer.exec("BEGIN IMMEDIATE;"), SQLITE_OK);
    ASSERT_EQ(writer.exec("INSERT INTO command_info ( command_json ) VALUES ( 'Uncommitted' );"),
              SQLITE_OK);
    Snapshot s;
    ASSERT_EQ(read(s, 1, 0), kReadOk) << error;  // no waiting needed beside a write lock
    EXPECT_EQ(s.orderTotal, 8);
    EXPECT_EQ(s.orders.at(0).id, 8);

    // While the writer commits (exclusive lock) a reader has to wait: without enough time it
    // fails with a clear reason ...
    Writer committer(settings.database);
    ASSERT_EQ(writer.exec("ROLLBACK;"), SQLITE_OK);
    ASSERT_EQ(committer.exec("BEGIN EXCLUSIVE;"), SQLITE_OK);
    ASSERT_EQ(committer.exec("INSERT INTO command_info ( command_json ) VALUES ( 'Late' );"),
              SQLITE_OK);
    EXPECT_EQ(read(s, 1, 50), kReadBusy);
    EXPECT_NE(error.find("locked"), std::string::npos) << error;
    EXPECT_TRUE(s.orders.empty());

    // ... and with time it gets the committed state once the lock goes.
    std::thread commit([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        committer.exec("COMMIT;");
    });
    const int rc = read(s, 1, 60000);
    commit.join();
    ASSERT_EQ(rc, kReadOk) << error;
    EXPECT_EQ(s.orderTotal, 9);
    EXPECT_EQ(s.orders.at(0).command, "Late");

    // The reader holds no lock afterwards: a writer gets its exclusive lock at once.
    ASSERT_EQ(writer.exec("BEGIN EXCLUSIVE;"), SQLITE_OK);
    ASSERT_EQ(writer.exec("COMMIT;"), SQLITE_OK);
}

TEST_F(CeeStatusDbTest, MissingOrForeignDatabase) {
    Snapshot s;
    settings.database = tmp.file("sub/none.db");
    EXPECT_EQ(read(s), kReadMissing);
    EXPECT_NE(error.find("database not found: " + settings.database), std::string::npos);
    EXPECT_FALSE(testutil::exists(tmp.file("sub")));

    settings.database = tmp.path();
    EXPECT_EQ(read(s), kReadOpenFailed);

    // An empty file (the agent accepts one as existing) and a file that is not a database.
    testutil::writeFile(tmp.file("empty.db"), "");
    settings.database = tmp.file("empty.db");
    EXPECT_EQ(read(s), kReadQueryFailed);
    EXPECT_NE(error.find("no such table"), std::string::npos) << error;
    EXPECT_EQ(testutil::readFile(tmp.file("empty.db")), "");

    testutil::writeFile(tmp.file("text.db"), std::string(2048, 'x'));
    settings.database = tmp.file("text.db");
    EXPECT_EQ(read(s), kReadQueryFailed);
    EXPECT_NE(error.find("not a database"), std::string::npos) << error;
    EXPECT_TRUE(s.orders.empty());

    // A name that SQLite would take as a URI is a plain file name here.
    settings.database = "file:" + tmp.file("cee_pkg_upd.db") + "?mode=rwc";
    EXPECT_EQ(read(s), kReadMissing);
}
