// The agent's row operations on a real database made by the agent's own schema code.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "DbController.h"
#include "TestUtil.h"

using zorcee::db::DbController;

namespace {

class DbRowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DbController setup;
        ASSERT_EQ(setup.init(tmp.path(), "c.db", "db_cee.lock", "db_upd.lock"), 0);
        ASSERT_TRUE(db.open(tmp.path(), "c.db"));
        log.clear();
    }
    void TearDown() override { db.close(); }

    // Rows of a query, columns joined by "|", NULL shown as "NULL".
    std::vector<std::string> rows(const std::string& sql) {
        return testutil::queryRows(db.getDb(), sql);
    }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db.getDb(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sql;
    }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"cee"};
    DbController db;
};

using Rows = std::vector<std::string>;

}  // namespace

TEST_F(DbRowsTest, RecordOrderAndOutcome) {
    const int id = db.insertCommandInfoBasic("Restart", "<x>é</x>", "2024/05/01 12:00:00");
    EXPECT_EQ(id, 1);
    EXPECT_EQ(rows("SELECT command_json, recv_xml, server_time_str, upd_command_type FROM "
                   "command_info"),
              (Rows{"Restart|<x>é</x>|2024-05-01 12:00:00|-1"}));
    EXPECT_TRUE(log.contains("I : [DbController.cpp:"));
    EXPECT_TRUE(
        log.contains("] in insertCommandInfoBasic : insert command_info sql -> INSERT "
                     "INTO command_info ( command_json, recv_xml, server_time_str ) "
                     "VALUES ( ?, ?, ? )"));
    EXPECT_TRUE(log.contains("] in insertCommandInfoBasic : exec step : rc -> success (101)"));
    EXPECT_TRUE(log.contains(
        "] in insertCommandInfoBasic : exec step2 : last insert id -> 1 (SQLITE_ROW)"));

    // Same name and time: a new row, and the highest id is handed back.
    EXPECT_EQ(db.insertCommandInfoBasic("Restart", "b", "2024/05/01 12:00:00"), 2);

    EXPECT_EQ(db.updateCommandInfoAtId(id, "8082 port send error.", 7, "raw answer"), 1);
    EXPECT_EQ(rows("SELECT res_error_str, res_result, res_result_str, res_http_time IS NOT NULL, "
                   "update_time IS NOT NULL FROM command_info WHERE id = 1"),
              (Rows{"8082 port send error.|7|raw answer|1|1"}));
    EXPECT_EQ(db.updateCommandInfoAtId(-1, "", 0, "x"), 1);  // no row: still a success
    EXPECT_EQ(rows("SELECT count(*) FROM command_info WHERE res_result_str = 'x'"), (Rows{"0"}));

    EXPECT_EQ(db.updateCommandInfoForUpd(id, "CMD-1", "REQ-9", 0, "2024-05-02 23:10:00"), 1);
    EXPECT_EQ(rows("SELECT upd_command_id, upd_cmd_req_id, upd_command_type, "
                   "upd_sched_exec_time FROM command_info WHERE id = 1"),
              (Rows{"CMD-1|REQ-9|0|2024-05-02 23:10:00"}));
}

TEST_F(DbRowsTest, PackageEntriesAreSplitAndNumbered) {
    EXPECT_EQ(db.insertPackageList(5, "/var/repos/", {}), 0);
    EXPECT_EQ(rows("SELECT count(*) FROM package_list"), (Rows{"0"}));

    const std::vector<std::string> entries = {
        " /var/repos/tools/abc_1.2_armhf.deb",  // as built from a "/" path
        "pkgs/tools/ abc_1.2_armhf.deb",        // as built from a backslash path
        "plain name.deb",                       // no "/" at all
    };
    EXPECT_EQ(db.insertPackageList(5, "/var/repos/", entries), 3);
    EXPECT_EQ(rows("SELECT command_info_id, seq_no, package_filename, package_name, package_path "
                   "FROM package_list ORDER BY id"),
              (Rows{"5|1|abc_1.2_armhf.deb|abc|tools", "5|2|abc_1.2_armhf.deb|abc|pkgs/tools",
                    "5|3|plain name.deb|plain name.deb|plainname.deb"}));
    // Another order starts at 1 again; an empty removeDir keeps the directory.
    EXPECT_EQ(db.insertPackageList(6, "", {"/var/repos/x/y_1_all.deb"}), 1);
    EXPECT_EQ(rows("SELECT seq_no, package_path FROM package_list WHERE command_info_id = 6"),
              (Rows{"1|/var/repos/x"}));
    EXPECT_TRUE(
        log.contains("] in insertPackageList : insert package_list sql -> INSERT INTO "
                     "package_list ( command_info_id, seq_no, package_filename, "
                     "package_name, package_path ) VALUES ( ?, ( SELECT case when MAX( "
                     "seq_no ) IS NULL THEN 1 ELSE MAX( seq_no ) + 1 END as next_seq_no "
                     "from package_list WHERE command_info_id = ? ), ?, ?, ? ); : "
                     "command_info.id -> 5 : package num -> 3"));
}

TEST_F(DbRowsTest, CancelLookupAndCancelList) {
    std::vector<std::string> found;
    EXPECT_EQ(db.selectCommandInfoForCancel({}, found), 0);
    EXPECT_TRUE(log.contains("W : [DbController.cpp:"));
    EXPECT_TRUE(
        log.contains("] in selectCommandInfoForCancel : select cancel : list is none : "
                     "command_id num -> 0"));

    const int old = db.insertCommandInfoBasic("UpdateLogger", "", "t1");
    ASSERT_EQ(db.updateCommandInfoForUpd(old, "B", "r", 0, "2024-01-01 00:00:00"), 1);
    const int again = db.insertCommandInfoBasic("UpdateLogger", "", "t2");
    ASSERT_EQ(db.updateCommandInfoForUpd(again, "B", "r", 0, "2024-01-01 00:00:00"), 1);

    log.clear();
    EXPECT_EQ(db.selectCommandInfoForCancel({"A", "B", "C"}, found), 1);
    EXPECT_EQ(found, (std::vector<std::string>{"B"}));
    EXPECT_TRUE(
        log.contains("SELECT DISTINCT upd_command_id FROM command_info WHERE "
                     "upd_command_id in ( ?, ?, ? );"));
    EXPECT_TRUE(
        log.contains("] in selectCommandInfoForCancel : exec step : rc -> success (101) "
                     ": find command_id num -> 1"));

    EXPECT_EQ(db.insertCancelCidList(9, {"A", "B", "C"}, found), 3);
    EXPECT_EQ(rows("SELECT command_info_id, seq_no, cancel_command_id, is_cancel, update_time "
                   "FROM cancel_cid_list ORDER BY id"),
              (Rows{"9|1|A|0|NULL", "9|2|B|1|NULL", "9|3|C|0|NULL"}));
    EXPECT_EQ(db.insertCancelCidList(9, {}, found), 0);
}

TEST_F(DbRowsTest, SupersedeOnlyPendingRuns) {
    const int a = db.insertCommandInfoBasic("UpdateLogger", "", "t1");
    ASSERT_EQ(db.updateCommandInfoForUpd(a, "U1", "r", 0, "x"), 1);
    const int other = db.insertCommandInfoBasic("UpdateLogger", "", "t2");
    ASSERT_EQ(db.updateCommandInfoForUpd(other, "U2", "r", 0, "x"), 1);
    for (int state = 0; state <= 5; ++state) {
        exec("INSERT INTO proc_info (command_info_id, sched_proc_time, proc_status) VALUES (" +
             std::to_string(a) + ", 'x', " + std::to_string(state) + ")");
    }
    exec("INSERT INTO proc_info (command_info_id, sched_proc_time) VALUES (" +
         std::to_string(other) + ", 'x')");

    EXPECT_EQ(db.updateProcInfo("U1"), 1);
    EXPECT_EQ(rows("SELECT proc_status, update_time FROM proc_info ORDER BY id"),
              (Rows{"5|NULL", "1|NULL", "2|NULL", "3|NULL", "4|NULL", "5|NULL", "0|NULL"}));
    EXPECT_EQ(db.updateProcInfo("nothing"), 1);
    EXPECT_TRUE(
        log.contains("] in updateProcInfo : update proc_info sql -> UPDATE proc_info SET "
                     "proc_status = 5 WHERE proc_status = 0 AND command_info_id IN ( "
                     "SELECT id FROM command_info WHERE upd_command_id = ? ); : "
                     "command_id -> U1  [proc_flag 0 --> 5]"));

    EXPECT_EQ(db.insertProcInfo(other, "2024-05-02 23:10:00"), 1);
    EXPECT_EQ(rows("SELECT sched_proc_time, exic_num, proc_status, create_time IS NOT NULL FROM "
                   "proc_info ORDER BY id DESC LIMIT 1"),
              (Rows{"2024-05-02 23:10:00|0|0|1"}));
}

TEST_F(DbRowsTest, FailuresAreReportedNotThrown) {
    exec("DROP TABLE package_list");
    exec("DROP TABLE proc_info");
    EXPECT_EQ(db.insertPackageList(1, "", {"a/b_1.deb"}), -1);
    EXPECT_TRUE(log.contains("E : [DbController.cpp:"));
    EXPECT_TRUE(log.contains("] in insertPackageList failed ! : failed to insert package_list"));
    EXPECT_EQ(db.insertProcInfo(1, "x"), -1);
    EXPECT_EQ(db.updateProcInfo("x"), -1);
    EXPECT_TRUE(log.contains("] in updateProcInfo failed ! : failed to update proc_info : rc -> "));

    // Another connection holding the write lock: the insert fails at once.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("c.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(db.insertCommandInfoBasic("Restart", "", "t"), -1);
    EXPECT_TRUE(log.contains(
        "] in insertCommandInfoBasic failed ! : failed to insert command_info : rc -> 5"));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    // A closed controller: every operation fails cleanly.
    DbController closed;
    EXPECT_EQ(closed.insertCommandInfoBasic("x", "y", "z"), -1);
    EXPECT_EQ(closed.updateCommandInfoAtId(1, "", 0, ""), -1);
    std::vector<std::string> found;
    EXPECT_EQ(closed.selectCommandInfoForCancel({"A"}, found), -2);
    EXPECT_EQ(closed.insertCancelCidList(1, {"A"}, found), -1);
}

TEST_F(DbRowsTest, RowIdsBeyond32BitsAreKeptWhole) {
    exec("INSERT INTO command_info (id, command_json) VALUES (1, 'first')");
    exec("INSERT INTO command_info (id, command_json) VALUES (4294967301, 'high')");
    const std::int64_t id = db.insertCommandInfoBasic("Restart", "r", "2024/05/01 12:00:00");
    EXPECT_EQ(id, 4294967302);
    EXPECT_EQ(db.updateCommandInfoAtId(id, "", 0, "answer"), 1);
    EXPECT_EQ(db.insertProcInfo(id, "2024-05-02 23:10:00"), 1);
    EXPECT_EQ(rows("SELECT id, res_result_str FROM command_info ORDER BY id"),
              (Rows{"1|NULL", "4294967301|NULL", "4294967302|answer"}));
    EXPECT_EQ(rows("SELECT command_info_id FROM proc_info"), (Rows{"4294967302"}));
}
