// The updater's database access on real databases made by the agent's own schema code:
// init/open/close with the updater lock file, the ten queries and updates, and the agent and
// the updater holding connections at the same time.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>

#include "DbController.h"
#include "TestUtil.h"
#include "updater/db/DbUpdController.h"

using zorupd::db::DbUpdController;
using zorupd::db::data::CancelProcInfo;
using zorupd::db::data::PackageInfoData;
using zorupd::db::data::UpdBasicInfo;

namespace {

using Rows = std::vector<std::string>;

// Rows of a query on `db`, columns joined by "|", NULL shown as "NULL".
Rows rowsOf(sqlite3* db, const std::string& sql) {
    return testutil::queryRows(db, sql);
}

// The agent creates the database (five tables, version row) as at its first start.
void createWithAgentSchema(const testutil::TempDir& tmp) {
    zorcee::db::DbController agent;
    ASSERT_EQ(agent.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
}

// A captured log with "[file:line]" shortened to "[file]", for comparing whole lines.
std::string withoutLineNumbers(const std::string& text) {
    static const std::regex prefix(R"(\[([^\]:]+):\d+\])");
    return std::regex_replace(text, prefix, "[$1]");
}

std::string localWallClock(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

class DbUpdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        createWithAgentSchema(tmp);
        ASSERT_EQ(db.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
        ASSERT_TRUE(db.open());
        log.clear();
    }
    void TearDown() override { db.close(); }

    Rows rows(const std::string& sql) { return rowsOf(db.getDb(), sql); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db.getDb(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sql;
    }
    int lastId() { return static_cast<int>(sqlite3_last_insert_rowid(db.getDb())); }

    // An update order as the agent records it; its command_info.id.
    int addUpdate(const std::string& updCommandId, int type) {
        exec(
            "INSERT INTO command_info ( command_json, upd_command_id, upd_command_type ) "
            "VALUES ( 'UpdateLogger', '" +
            updCommandId + "', " + std::to_string(type) + " );");
        return lastId();
    }
    // A run due `minutes` from now (negative: in the past), in UTC+9 wall-clock text.
    int addRun(int ciid, int minutes, int status = 0, int exic = 0) {
        exec(
            "INSERT INTO proc_info ( command_info_id, sched_proc_time, proc_status, exic_num ) "
            "VALUES ( " +
            std::to_string(ciid) + ", datetime( 'now', '+9 hours', '" + (minutes >= 0 ? "+" : "") +
            std::to_string(minutes) + " minutes' ), " + std::to_string(status) + ", " +
            std::to_string(exic) + " );");
        return lastId();
    }
    void addCancel(int ciid, const std::string& cancelCommandId, int isCancel = 1) {
        exec(
            "INSERT INTO cancel_cid_list ( command_info_id, seq_no, cancel_command_id, "
            "is_cancel ) VALUES ( " +
            std::to_string(ciid) + ", 1, '" + cancelCommandId + "', " + std::to_string(isCancel) +
            " );");
    }
    int addPackage(int ciid, int seq, const std::string& file, const char* old = nullptr) {
        exec(
            "INSERT INTO package_list ( command_info_id, seq_no, package_filename, "
            "package_name, package_path, old_package_filename ) VALUES ( " +
            std::to_string(ciid) + ", " + std::to_string(seq) + ", '" + file + "', '" +
            file.substr(0, file.find('_')) + "', 'pool', " +
            (old ? "'" + std::string(old) + "'" : std::string("NULL")) + " );");
        return lastId();
    }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"upd"};
    DbUpdController db;
};

}  // namespace

TEST(DbUpdControllerLifecycle, InitNeverCreatesAndOpenUsesTheUpdaterLockFile) {
    testutil::TempDir tmp;
    testutil::CapturedLog log("upd");
    {
        DbUpdController missing;
        EXPECT_EQ(missing.init("", "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 1);
        EXPECT_EQ(missing.init(tmp.path(), "", "db_cee.lock", "db_upd.lock"), 1);
        EXPECT_EQ(missing.init(tmp.path() + "/db", "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"),
                  2);
        EXPECT_FALSE(testutil::exists(tmp.path() + "/db"));
        EXPECT_EQ(log.text(), "");
    }

    createWithAgentSchema(tmp);
    const std::string lock = tmp.file("db_upd.lock");
    // Leftovers: init removes neither program's lock file.
    testutil::writeFile(tmp.file("db_cee.lock"), "");
    testutil::writeFile(lock, "");
    DbUpdController first;
    ASSERT_EQ(first.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    EXPECT_TRUE(testutil::exists(lock));
    EXPECT_EQ(log.text(), "");
    // A leftover that no live updater holds is taken over; the agent's is never touched.
    ASSERT_TRUE(first.open());
    EXPECT_TRUE(testutil::exists(lock));
    EXPECT_TRUE(testutil::exists(tmp.file("db_cee.lock")));
    const std::string path = tmp.file("cee_pkg_upd.db");
    EXPECT_TRUE(log.contains("I : [DbUpdController.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("] in open : create lock file [RO] -> success\n")) << log.text();
    EXPECT_TRUE(log.contains("] in open : DB open success : db file -> " + path + "\n"))
        << log.text();
    // A second user of this program is kept out while the first holds the connection, and
    // its close leaves the first one's lock file alone.
    {
        zorcommon::DbLock other(tmp.path(), "db_upd.lock", 2);
        EXPECT_FALSE(other.createLockFile());
        EXPECT_TRUE(other.releaseLockFile());
        EXPECT_TRUE(testutil::exists(lock));
    }
    log.clear();
    first.close();
    EXPECT_FALSE(testutil::exists(lock));
    EXPECT_TRUE(log.contains("] in close : remove lock file [RO] -> success\n")) << log.text();
    log.clear();
    ASSERT_TRUE(first.open());
    EXPECT_TRUE(first.beginTransaction());
    EXPECT_TRUE(first.rollbackTransaction());
    EXPECT_FALSE(first.commitTransaction());  // no transaction open any more
    log.clear();
    first.close();
    EXPECT_FALSE(testutil::exists(lock));
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "I : [DbUpdController.cpp] in close : db file -> " + path +
                  "\nI : [DbUpdController.cpp] in close : remove lock file [RO] -> success\n");
    EXPECT_FALSE(first.beginTransaction());
}

TEST_F(DbUpdTest, NothingDueGivesAnEmptyRecordAndNoLogLine) {
    const int normal = addUpdate("100", 0);
    addRun(normal, 10);                 // not yet due
    addRun(normal, -10, 1);             // due, but already executed
    addRun(addUpdate("101", -1), -10);  // not an update order
    addRun(addUpdate("102", 3), -10);   // a type the updater does not run
    const UpdBasicInfo none = db.selectTargetCommandInfo();
    EXPECT_EQ(none.proc_info_id, -1);
    EXPECT_EQ(none.command_info_id, -1);
    EXPECT_EQ(none.command_id, -1);
    EXPECT_EQ(none.command_type, -1);
    EXPECT_FALSE(none.hasTarget());
    EXPECT_EQ(log.text(), "");
}

TEST_F(DbUpdTest, EmergencyDueLaterBeatsNormalDueEarlier) {
    const int normal = addUpdate("200", 0);
    const int emergency = addUpdate("201", 1);
    const int runNormal = addRun(normal, -30);
    const int runEmergency = addRun(emergency, -5);
    addRun(addUpdate("202", 2), 5);  // the highest type, but not due yet

    UpdBasicInfo target = db.selectTargetCommandInfo();
    EXPECT_TRUE(target.hasTarget());
    EXPECT_EQ(target.proc_info_id, runEmergency);
    EXPECT_EQ(target.command_info_id, emergency);
    EXPECT_EQ(target.command_id, 201);
    EXPECT_EQ(target.command_type, 1);
    EXPECT_TRUE(log.contains("I : [DbUpdController.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("] in selectTargetCommandInfo : find target : proc_info.id -> " +
                             std::to_string(runEmergency) + " : command_info.id -> " +
                             std::to_string(emergency) +
                             " : command_id -> 201 : command_type -> 1 : find line num -> 1\n"))
        << log.text();

    // Among equal types the earliest wins; an id without leading digits reads as 0.
    exec("UPDATE proc_info SET proc_status = 1 WHERE id = " + std::to_string(runEmergency));
    const int later = addRun(addUpdate("x7", 0), -60);
    target = db.selectTargetCommandInfo();
    EXPECT_EQ(target.proc_info_id, later);
    EXPECT_EQ(target.command_id, 0);
    exec("UPDATE proc_info SET proc_status = 5 WHERE id = " + std::to_string(later));
    EXPECT_EQ(db.selectTargetCommandInfo().proc_info_id, runNormal);
}

TEST_F(DbUpdTest, DueMeansNotLaterThanNowInUtcPlusNineWallClock) {
    // The agent writes sched_proc_time with the local zone, which is UTC+9.
    setenv("TZ", "JST-9", 1);
    tzset();
    const std::time_t now = std::time(nullptr);
    const int ciid = addUpdate("300", 0);
    exec("INSERT INTO proc_info ( command_info_id, sched_proc_time ) VALUES ( " +
         std::to_string(ciid) + ", '" + localWallClock(now + 600) + "' );");
    EXPECT_EQ(db.selectTargetCommandInfo().proc_info_id, -1);
    exec("INSERT INTO proc_info ( command_info_id, sched_proc_time ) VALUES ( " +
         std::to_string(ciid) + ", '" + localWallClock(now - 60) + "' );");
    const int due = lastId();
    EXPECT_EQ(db.selectTargetCommandInfo().proc_info_id, due);
}

TEST_F(DbUpdTest, CancelTargetsAreLatestRunsAtZeroOrOne) {
    const int cancelling = addUpdate("900", 1);
    struct Case {
        const char* id;
        int latestStatus;
    };
    // Each cancelled update has an older run at 0 and a latest run in the given state.
    const Case cases[] = {{"500", 0}, {"501", 1}, {"502", 2}, {"503", 4}, {"504", 5}};
    int pendingRun = 0;
    int executedRun = 0;
    int executedCiid = 0;
    int pendingCiid = 0;
    for (const auto& c : cases) {
        const int ciid = addUpdate(c.id, 0);
        addRun(ciid, -600, 0);
        const int run = addRun(ciid, -300, c.latestStatus);
        addCancel(cancelling, c.id);
        if (c.latestStatus == 0) {
            pendingRun = run;
            pendingCiid = ciid;
        } else if (c.latestStatus == 1) {
            executedRun = run;
            executedCiid = ciid;
        }
    }
    // Named with is_cancel 0 (unknown when the order came): not a target.
    addRun(addUpdate("505", 0), -300, 0);
    addCancel(cancelling, "505", 0);
    // Another order's cancel list does not count.
    addRun(addUpdate("506", 0), -300, 0);
    addCancel(addUpdate("901", 1), "506");

    std::vector<CancelProcInfo> executed;
    std::vector<CancelProcInfo> pending;
    ASSERT_EQ(db.selectCancelProcInfo(cancelling, executed, pending), 2);
    ASSERT_EQ(executed.size(), 1u);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(executed[0].id, executedRun);
    EXPECT_EQ(executed[0].command_info_id, executedCiid);
    EXPECT_EQ(executed[0].proc_status, 1);
    EXPECT_EQ(pending[0].id, pendingRun);
    EXPECT_EQ(pending[0].command_info_id, pendingCiid);
    EXPECT_EQ(pending[0].proc_status, 0);
    EXPECT_TRUE(log.contains("I : [DbUpdController.cpp:")) << log.text();
    EXPECT_TRUE(
        log.contains("] in selectCancelProcInfo : select cancel target proc_info sql -> "
                     "SELECT m.id, m.command_info_id, m.proc_status FROM proc_info AS m "))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in selectCancelProcInfo : exec step : rc -> 101 (success) : find "
                     "cancel proc_info total num -> 2 : in not executed proc_info num -> "
                     "1\n"))
        << log.text();

    std::vector<CancelProcInfo> none;
    EXPECT_EQ(db.selectCancelProcInfo(addUpdate("902", 1), none, none), 0);
}

TEST_F(DbUpdTest, PackagesInSeqOrderWithOldVersionsRecorded) {
    const int ciid = addUpdate("600", 0);
    const int second = addPackage(ciid, 2, "beta_2.0_armhf.deb", "beta_1.0_armhf.deb");
    const int first = addPackage(ciid, 1, "alpha_2.0_armhf.deb");
    addPackage(addUpdate("601", 0), 1, "other_1.0_armhf.deb");

    std::vector<PackageInfoData> list;
    ASSERT_EQ(db.selectPackageInfoAtCiid(ciid, list), 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, first);
    EXPECT_EQ(list[0].command_info_id, ciid);
    EXPECT_EQ(list[0].package_filename, "alpha_2.0_armhf.deb");
    EXPECT_EQ(list[0].package_name, "alpha");
    EXPECT_EQ(list[0].package_path, "pool");
    EXPECT_EQ(list[0].old_package_filename, "");  // NULL in the database
    EXPECT_EQ(list[1].id, second);
    EXPECT_EQ(list[1].old_package_filename, "beta_1.0_armhf.deb");
    EXPECT_TRUE(
        log.contains("] in selectPackageInfoAtCiid : insert package_list sql -> SELECT id, "
                     "command_info_id, package_filename, package_name, package_path, "
                     "old_package_filename FROM package_list WHERE command_info_id = ? "
                     "ORDER BY seq_no ASC; : command_info_id -> " +
                     std::to_string(ciid) + "\n"))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in selectPackageInfoAtCiid : exec step : rc -> 101 (success) : "
                     "find package_info num -> 2\n"))
        << log.text();

    log.clear();
    std::vector<PackageInfoData> untouched;
    EXPECT_EQ(db.selectPackageInfoAtCiid(0, untouched), 0);
    EXPECT_EQ(withoutLineNumbers(log.text()),
              "W : [DbUpdController.cpp] in selectPackageInfoAtCiid : not set command_info_id -> "
              "0\n");

    list[0].old_package_filename = "alpha_1.5_armhf.deb";
    list[1].old_package_filename = "beta_1.1_armhf.deb";
    log.clear();
    EXPECT_EQ(db.updateOldPackageInfo(list), 2);
    EXPECT_EQ(rows("SELECT old_package_filename, update_time IS NOT NULL FROM package_list WHERE "
                   "command_info_id = " +
                   std::to_string(ciid) + " ORDER BY seq_no"),
              (Rows{"alpha_1.5_armhf.deb|1", "beta_1.1_armhf.deb|1"}));
    EXPECT_TRUE(
        log.contains("] in updateOldPackageInfo : update package_info sql -> UPDATE "
                     "package_list SET old_package_filename = ?, update_time = "
                     "CURRENT_TIMESTAMP WHERE id = ?; : update num -> 2\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] in updateOldPackageInfo : exec step : rc -> 101 (success)\n"))
        << log.text();
    EXPECT_EQ(db.updateOldPackageInfo({}), 0);
}

TEST_F(DbUpdTest, CancelPackagesOfSeveralRunsAndOfNone) {
    const int a = addUpdate("700", 0);
    const int b = addUpdate("701", 0);
    const int c = addUpdate("702", 0);
    addPackage(a, 1, "a_1_all.deb");
    addPackage(b, 1, "b_1_all.deb", "b_0_all.deb");
    addPackage(b, 2, "b2_1_all.deb");
    addPackage(c, 1, "c_1_all.deb");
    std::vector<CancelProcInfo> targets(2);
    targets[0].command_info_id = a;
    targets[1].command_info_id = b;

    std::vector<PackageInfoData> list;
    ASSERT_EQ(db.selectCancelPackageInfo(targets, list), 3);
    std::set<std::string> names;
    for (const auto& p : list) {
        names.insert(p.package_filename);
    }
    EXPECT_EQ(names, (std::set<std::string>{"a_1_all.deb", "b_1_all.deb", "b2_1_all.deb"}));
    EXPECT_TRUE(
        log.contains("] in selectCancelPackageInfo : select cancel package into sql -> "
                     "SELECT id, command_info_id, package_filename, package_name, "
                     "package_path, old_package_filename FROM package_list WHERE "
                     "command_info_id IN ( ?, ? ); : cancel proc_info num -> 2\n"))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in selectCancelPackageInfo : exec step : rc -> 101 (success) : "
                     "find package_info num -> 3\n"))
        << log.text();

    log.clear();
    std::vector<PackageInfoData> empty;
    EXPECT_EQ(db.selectCancelPackageInfo({}, empty), 0);
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(log.contains("WHERE command_info_id IN ( ? ); : cancel proc_info num -> 0\n"))
        << log.text();
}

TEST_F(DbUpdTest, CancelAndResultUpdates) {
    const int ciid = addUpdate("800", 0);
    std::vector<CancelProcInfo> runs(2);
    runs[0].id = addRun(ciid, -60);
    runs[1].id = addRun(ciid, -30);
    const int other = addRun(ciid, -10);

    EXPECT_EQ(db.updateCancelNotExecProcInfo({runs[0]}), 1);
    EXPECT_EQ(db.updateCancelSuccessProcInfo({runs[1]}), 1);
    EXPECT_EQ(rows("SELECT proc_status, cancel_time IS NOT NULL, update_time IS NOT NULL FROM "
                   "proc_info ORDER BY id"),
              (Rows{"4|1|1", "3|1|1", "0|0|0"}));
    EXPECT_TRUE(
        log.contains("] in updateCancelNotExecProcInfo : update (cancel at not executed) "
                     "proc_info sql -> UPDATE proc_info SET proc_status = ?, cancel_time = "
                     "CURRENT_TIMESTAMP, update_time = CURRENT_TIMESTAMP WHERE id = ?; : "
                     "update num -> 1\n"))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in updateCancelNotExecProcInfo : exec step : rc -> 101 (success)\n"))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in updateCancelSuccessProcInfo : update (cancel success) proc_info "
                     "sql -> UPDATE proc_info SET proc_status = ?, "))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in updateCancelSuccessProcInfo : exec step : rc -> 101 (success)\n"))
        << log.text();
    EXPECT_EQ(db.updateCancelNotExecProcInfo({}), 0);

    EXPECT_EQ(db.updateResultProcInfo(other, 2, "<12> failed", "2026-01-02 03:04:05",
                                      "2026-01-02 03:05:06"),
              1);
    EXPECT_EQ(rows("SELECT proc_status, r_result_str, r_start_time, r_end_time, update_time IS "
                   "NOT NULL FROM proc_info WHERE id = " +
                   std::to_string(other)),
              (Rows{"2|<12> failed|2026-01-02 03:04:05|2026-01-02 03:05:06|1"}));
    EXPECT_TRUE(
        log.contains("] in updateResultProcInfo : update proc_info sql -> UPDATE proc_info "
                     "SET proc_status = ?, r_result_str = ?, r_start_time = ?, r_end_time "
                     "= ?, update_time = CURRENT_TIMESTAMP WHERE id = ?; : proc_info -> " +
                     std::to_string(other) + " : result -> 2\n"))
        << log.text();
    EXPECT_EQ(db.updateResultProcInfo(9999, 1, "", "", ""), 1);  // no such run: still 1
}

TEST_F(DbUpdTest, RetryCountAndRetryRun) {
    const int fresh = addUpdate("810", 0);
    addRun(fresh, -10, 2, 0);
    const int exhausted = addUpdate("811", 0);
    addRun(exhausted, -10, 2, 5);

    EXPECT_EQ(db.selectNextProcNum(fresh, 5), 0);
    EXPECT_TRUE(
        log.contains("] in selectNextProcNum : select next schdule execution num sql -> "
                     "SELECT MAX(exic_num) FROM proc_info WHERE command_info_id = ?;\n"))
        << log.text();
    EXPECT_TRUE(
        log.contains("] in selectNextProcNum : exec step : rc -> 101 (success) : find "
                     "select next schdule execution num -> 0 : max execution num -> 5\n"))
        << log.text();
    EXPECT_FALSE(log.contains("retry count is max"));
    EXPECT_EQ(db.selectNextProcNum(exhausted, 5), -1);
    EXPECT_TRUE(log.contains("] in selectNextProcNum : exec step : retry count is max\n"))
        << log.text();
    EXPECT_EQ(db.selectNextProcNum(addUpdate("812", 0), 5), 0);  // no run at all

    setenv("TZ", "JST-9", 1);
    tzset();
    log.clear();
    const std::string before = localWallClock(std::time(nullptr) + 120);
    ASSERT_EQ(db.insertNextProcInfo(fresh, 120), 1);
    const std::string after = localWallClock(std::time(nullptr) + 120);
    const Rows added = rows(
        "SELECT exic_num, proc_status, sched_proc_time FROM proc_info WHERE "
        "id = " +
        std::to_string(lastId()));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].substr(0, 4), "1|0|");
    const std::string sched = added[0].substr(4);
    EXPECT_LE(before, sched);
    EXPECT_LE(sched, after);
    EXPECT_TRUE(
        log.contains("] in insertNextProcInfo : update proc_info sql -> INSERT INTO "
                     "proc_info ( command_info_id, exic_num, sched_proc_time ) VALUES ( ?, "
                     "( SELECT MAX(exic_num) + 1 FROM proc_info WHERE command_info_id = ? "
                     "), datetime( 'now', '+120 seconds', '+9 hours' ) ); : "
                     "command_info.id -> " +
                     std::to_string(fresh) + " : next scheduling interval -> 120\n"))
        << log.text();
    EXPECT_TRUE(log.contains("] in insertNextProcInfo : exec step : rc -> 101 (success)\n"))
        << log.text();
    // The retry is not due yet; the count goes on from the new run.
    EXPECT_EQ(db.selectTargetCommandInfo().proc_info_id, -1);
    EXPECT_EQ(db.selectNextProcNum(fresh, 5), 1);

    // An update without any run has no exic_num to continue from: the insert fails.
    log.clear();
    EXPECT_EQ(db.insertNextProcInfo(addUpdate("813", 0), 120), -1);
    EXPECT_TRUE(log.contains("E : [DbUpdController.cpp:")) << log.text();
    EXPECT_TRUE(
        log.contains("] in insertNextProcInfo failed ! : failed to insert proc_info : rc "
                     "-> 19\n"))
        << log.text();
}

TEST(DbUpdControllerFailures, SchemaMissingIsReportedAsFailedSteps) {
    testutil::TempDir tmp;
    testutil::CapturedLog log("upd");
    testutil::writeFile(tmp.file("empty.db"), "");  // accepted by init, no tables
    DbUpdController db;
    ASSERT_EQ(db.init(tmp.path(), "empty.db", "db_cee.lock", "db_upd.lock"), 0);
    ASSERT_TRUE(db.open());
    EXPECT_FALSE(db.selectTargetCommandInfo().hasTarget());
    EXPECT_TRUE(log.contains("E : [DbUpdController.cpp:")) << log.text();
    EXPECT_TRUE(
        log.contains("] in selectTargetCommandInfo failed ! : failed to select command_id "
                     "from command_info : rc -> 21\n"))
        << log.text();
    std::vector<CancelProcInfo> runs(1);
    std::vector<PackageInfoData> packages(1);
    EXPECT_EQ(db.selectCancelProcInfo(1, runs, runs), -2);
    EXPECT_EQ(db.selectPackageInfoAtCiid(1, packages), -2);
    EXPECT_EQ(packages.size(), 1u);
    EXPECT_EQ(db.updateOldPackageInfo(packages), -1);
    EXPECT_EQ(db.selectCancelPackageInfo(runs, packages), -2);
    EXPECT_EQ(db.updateCancelNotExecProcInfo(runs), -1);
    EXPECT_EQ(db.updateCancelSuccessProcInfo(runs), -1);
    EXPECT_EQ(db.updateResultProcInfo(1, 1, "", "", ""), -1);
    EXPECT_EQ(db.selectNextProcNum(1, 5), -2);
    EXPECT_EQ(db.insertNextProcInfo(1, 120), -1);
    for (const char* line :
         {"] in selectCancelProcInfo failed ! : failed to select cancel target proc_info : rc -> "
          "21\n",
          "] in selectPackageInfoAtCiid failed ! : failed to select package_info : rc -> 21\n",
          "] in updateOldPackageInfo failed ! : failed to update package_info : rc -> 21\n",
          "] in selectCancelPackageInfo failed ! : failed to select package_info : rc -> 21\n",
          "] in updateCancelNotExecProcInfo failed ! : failed to update proc_info : rc -> 21\n",
          "] in updateCancelSuccessProcInfo failed ! : failed to update proc_info : rc -> 21\n",
          "] in updateResultProcInfo failed ! : failed to update proc_info : rc -> 21\n",
          "] in selectNextProcNum failed ! : select next schdule execution num: rc -> 21\n",
          "] in updateOldPackageInfo : exec step : rc -> 21 (failed)\n"}) {
        EXPECT_TRUE(log.contains(line)) << line << log.text();
    }
    db.close();
}

// The agent and the updater hold connections at the same time; SQLite's locks keep their
// writes apart and a statement that meets the other's lock fails at once.
TEST(DbUpdControllerConcurrency, OtherProgramsWriteLockFailsAtOnce) {
    // BUSY_TIMEOUT_MS 0: no waiting at all.
    zorcommon::setBusyTimeoutMs(0);
    struct Restore {
        ~Restore() { zorcommon::setBusyTimeoutMs(-1); }
    } restore;
    testutil::TempDir tmp;
    testutil::CapturedLog agentLog("cee");
    testutil::CapturedLog log("upd");
    createWithAgentSchema(tmp);
    zorcee::db::DbController agent;
    ASSERT_TRUE(agent.open(tmp.path(), "cee_pkg_upd.db"));
    const int ciid = agent.insertCommandInfoBasic("UpdateLogger", "<r/>", "2026/01/01 00:00:00");
    ASSERT_EQ(agent.updateCommandInfoForUpd(ciid, "77", "req", 0, "2026-01-01 00:00:00"), 1);
    ASSERT_EQ(agent.insertProcInfo(ciid, "2000-01-01 00:00:00"), 1);

    DbUpdController updater;
    ASSERT_EQ(updater.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    ASSERT_TRUE(updater.open());
    EXPECT_TRUE(testutil::exists(tmp.file("db_cee.lock")));
    EXPECT_TRUE(testutil::exists(tmp.file("db_upd.lock")));

    // The agent writes inside its transaction: the updater still reads, but cannot write.
    ASSERT_TRUE(agent.beginTransaction());
    ASSERT_EQ(agent.insertProcInfo(ciid, "2000-01-02 00:00:00"), 1);
    ASSERT_TRUE(updater.beginTransaction());
    const UpdBasicInfo target = updater.selectTargetCommandInfo();
    EXPECT_EQ(target.command_info_id, ciid);
    EXPECT_EQ(target.command_id, 77);
    log.clear();
    EXPECT_EQ(updater.insertNextProcInfo(ciid, 120), -1);
    EXPECT_TRUE(
        log.contains("] in insertNextProcInfo failed ! : failed to insert proc_info : rc "
                     "-> 5\n"))
        << log.text();
    EXPECT_EQ(updater.updateResultProcInfo(target.proc_info_id, 1, "ok", "", ""), -1);
    // The agent cannot commit while the updater's transaction reads; the updater gives up.
    EXPECT_FALSE(agent.commitTransaction());
    EXPECT_TRUE(updater.rollbackTransaction());
    EXPECT_TRUE(agent.commitTransaction());

    // The other way round: the updater writes, the agent's write fails.
    ASSERT_TRUE(updater.beginTransaction());
    ASSERT_EQ(updater.insertNextProcInfo(ciid, 120), 1);
    agentLog.clear();
    EXPECT_EQ(agent.insertProcInfo(ciid, "2000-01-03 00:00:00"), -1);
    EXPECT_TRUE(agentLog.contains("rc -> 5\n")) << agentLog.text();
    EXPECT_TRUE(updater.commitTransaction());
    EXPECT_EQ(agent.insertProcInfo(ciid, "2000-01-03 00:00:00"), 1);

    // While the other side holds an exclusive lock even reads fail, at once.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("cee_pkg_upd.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    log.clear();
    EXPECT_FALSE(updater.selectTargetCommandInfo().hasTarget());
    EXPECT_TRUE(
        log.contains("] in selectTargetCommandInfo failed ! : failed to select command_id "
                     "from command_info : rc -> 5\n"))
        << log.text();
    EXPECT_EQ(updater.selectNextProcNum(ciid, 5), -2);
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(updater.selectNextProcNum(ciid, 5), 1);

    updater.close();
    agent.close();
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
    EXPECT_FALSE(testutil::exists(tmp.file("db_upd.lock")));
}

TEST_F(DbUpdTest, RowIdsBeyond32BitsAreKeptWhole) {
    const std::int64_t big = 4294967301;  // 2^32 + 5: read as 32 bits it would be row 5
    exec(
        "INSERT INTO command_info (id, command_json, upd_command_id, upd_command_type) VALUES "
        "(5, 'UpdateLogger', '700', 0), (4294967301, 'UpdateLogger', '701', 0)");
    exec(
        "INSERT INTO proc_info (id, command_info_id, sched_proc_time) VALUES (4294967302, "
        "4294967301, datetime('now', '+9 hours', '-1 minutes'))");
    exec(
        "INSERT INTO package_list (id, command_info_id, seq_no, package_filename, package_name, "
        "package_path) VALUES (4294967303, 4294967301, 1, 'abc_1.0_armhf.deb', 'abc', 'pool')");

    const UpdBasicInfo due = db.selectTargetCommandInfo();
    EXPECT_EQ(due.proc_info_id, big + 1);
    EXPECT_EQ(due.command_info_id, big);
    std::vector<PackageInfoData> packages;
    ASSERT_EQ(db.selectPackageInfoAtCiid(due.command_info_id, packages), 1);
    EXPECT_EQ(packages[0].id, big + 2);
    packages[0].old_package_filename = "abc_0.9_armhf.deb";
    EXPECT_EQ(db.updateOldPackageInfo(packages), 1);
    EXPECT_EQ(db.updateResultProcInfo(due.proc_info_id, 2, "failed", "", ""), 1);
    EXPECT_EQ(db.insertNextProcInfo(due.command_info_id, 120), 1);
    EXPECT_EQ(rows("SELECT id, command_info_id, proc_status FROM proc_info ORDER BY id"),
              (Rows{"4294967302|4294967301|2", "4294967303|4294967301|0"}));
    EXPECT_EQ(rows("SELECT old_package_filename FROM package_list"), (Rows{"abc_0.9_armhf.deb"}));
}
