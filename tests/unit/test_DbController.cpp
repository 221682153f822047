// The agent's database: start-up (init) on missing, partial and complete files, opening
// without creating, rows with 64-bit ids, and its write-ahead log held between orders. The rows of
// whole orders are shown with the update order.
#include "DbController.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "FileUtil.h"
#include "TestUtil.h"
#include "WalKeeper.h"

using zorcee::db::DbController;
using Rows = std::vector<std::string>;

// The tables a file holds, and its version rows.
static std::string schema(const std::string& file) {
    return testutil::queryRows(file,
                               "SELECT group_concat(name, ' ') || ' ' || (SELECT count(*) "
                               "FROM version) FROM (SELECT name FROM sqlite_master WHERE "
                               "type = 'table' ORDER BY name)")
        .at(0);
}
static const char* const kComplete =
    "cancel_cid_list command_info package_list proc_info sqlite_sequence version 1";

static int init(const std::string& dir) {
    return DbController().init(dir, "c.db", "db_cee.lock", "db_upd.lock");
}

TEST(DbController, InitOnMissingPartialAndCompleteFilesAnd64BitIds) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("var/local/db");
    testutil::writeFile(tmp.file("plain"), "x");
    EXPECT_EQ(init(tmp.file("plain/db")), 2);

    // First start: folders, the tables and one version row; a leftover agent lock goes, the
    // updater's stays.
    ASSERT_EQ(zorcommon::makeDirectories(dir), 0);
    testutil::writeFile(dir + "/db_cee.lock", "");
    testutil::writeFile(dir + "/db_upd.lock", "");
    ASSERT_EQ(init(dir), 0);
    EXPECT_EQ(schema(dir + "/c.db"), kComplete);
    EXPECT_FALSE(testutil::exists(dir + "/db_cee.lock"));
    EXPECT_TRUE(testutil::exists(dir + "/db_upd.lock"));

    // A file lacking tables (empty, or a creation cut off after one table that has a row since)
    // gets the rest and keeps its rows; a second start changes nothing.
    for (const bool cut : {false, true}) {
        testutil::TempDir partial;
        const std::string file = partial.file("c.db");
        testutil::writeFile(file, "");
        if (cut) {
            testutil::queryRows(file, "CREATE TABLE command_info (id INTEGER PRIMARY KEY, x TEXT)");
            testutil::queryRows(file, "INSERT INTO command_info (x) VALUES ('kept')");
        }
        for (int start = 0; start < 2; ++start) {
            ASSERT_EQ(init(partial.path()), 0) << cut;
            EXPECT_EQ(schema(file), kComplete);
        }
        EXPECT_EQ(testutil::queryRows(file, "SELECT count(*) FROM command_info"),
                  Rows{cut ? "1" : "0"});
    }

    // Commands open the database without creating it: a file removed meanwhile stays missing.
    DbController missing;
    EXPECT_FALSE(missing.open(dir, "gone.db"));
    missing.close();
    EXPECT_FALSE(testutil::exists(dir + "/gone.db"));

    // Ids beyond 32 bits are kept whole.
    ASSERT_EQ(init(tmp.path()), 0);
    DbController db;
    ASSERT_TRUE(db.open(tmp.path(), "c.db"));
    const auto rows = [&](const std::string& sql) { return testutil::queryRows(db.getDb(), sql); };
    rows("INSERT INTO command_info (id, command_json) VALUES (4294967301, 'h')");
    const std::int64_t id = db.insertCommandInfoBasic("Restart", "r", "2024/05/01 12:00:00");
    EXPECT_EQ(db.insertCommandInfoBasic("Restart", "b", "2024/05/01 12:00:00"), 4294967303);
    EXPECT_EQ(db.updateCommandInfoAtId(id, "", 0, "answer"), 1);
    EXPECT_EQ(db.updateCommandInfoForUpd(id, "B", "R", 0, "2024-05-02 23:10:00"), 1);
    EXPECT_EQ(db.insertProcInfo(id, "x"), 1);
    EXPECT_EQ(db.insertPackageList(id, "", {"d/a_1_all.deb"}), 1);
    EXPECT_EQ(db.insertCancelCidList(id, {"A"}, {}), 1);
    EXPECT_EQ(
        rows("SELECT id, res_result_str, upd_command_id FROM command_info WHERE id > 4294967301"),
        (Rows{"4294967302|answer|B", "4294967303|NULL|NULL"}));
    EXPECT_EQ(rows("SELECT command_info_id FROM proc_info UNION ALL SELECT command_info_id FROM "
                   "package_list UNION ALL SELECT command_info_id FROM cancel_cid_list"),
              Rows(3, "4294967302"));
    db.close();

    // A complete file is not opened for writing at start (here its lock cannot even be made).
    ASSERT_EQ(zorcommon::makeDirectories(dir + "/db_cee.lock/blocked"), 0);
    EXPECT_EQ(init(dir), 0);
}

// The database runs in WAL mode with its log held by the agent's WalKeeper. Whatever other
// programs do beside it (a reader that opens and closes the file in another process), whatever
// happens to the agent (killed, or stopped) and to the file (an earlier version's file, one
// overwritten in place), every committed row stays; after a stop the database file alone holds
// them all.
TEST(DbController, RowsOfTheHeldLogSurviveOtherProgramsAKillAndAReplacedFile) {
    testutil::TempDir tmp;
    const std::string file = tmp.file("c.db");
    // An earlier version's file: rollback journal, a row.
    ASSERT_EQ(init(tmp.path()), 0);
    testutil::queryRows(file,
                        "PRAGMA journal_mode = DELETE; INSERT INTO command_info "
                        "(command_json, res_result) VALUES ('earlier', 0)");
    ASSERT_EQ(init(tmp.path()), 0);
    EXPECT_EQ(testutil::queryRows(file, "PRAGMA journal_mode"), Rows{"wal"});

    // Another program that reads and closes (its close would copy the log into the file and
    // delete it, were it the last connection).
    const std::string readerCommand =
        "python3 -c \"import sqlite3; c = sqlite3.connect('" + file +
        "'); c.execute('SELECT count(*) FROM command_info'); c.close()\"";
    const auto readerElsewhere = [&] { EXPECT_EQ(std::system(readerCommand.c_str()), 0); };
    // An order's own connection, as the commands open one: its row, the reader while the order
    // is posted, the row's outcome.
    const auto record = [&](const char* name) {
        DbController db;
        const std::int64_t id =
            db.open(tmp.path(), "c.db") ? db.insertCommandInfoBasic(name, "<r/>", "t") : 0;
        readerElsewhere();
        const bool done = id > 0 && db.updateCommandInfoAtId(id, "", 0, "answer") == 1;
        db.close();
        return done;
    };
    // The agent in a process of its own, killed (no release) or stopped; its exit status.
    const auto agent = [&](bool killed, const std::vector<const char*>& names) {
        const pid_t child = fork();
        if (child == 0) {
            zorcee::db::WalKeeper keeper;
            bool done = keeper.refresh(file);
            for (const char* name : names) {
                done = record(name) && done;
            }
            if (!killed) {
                keeper.release();
            }
            _exit(done ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return status;
    };
    const auto rows = [&](const std::string& db) {
        return testutil::queryRows(db,
                                   "SELECT group_concat(command_json || res_result, ' ') "
                                   "FROM command_info");
    };
    // The rows the database file holds on its own (a copy without its log).
    const auto fileAlone = [&] {
        testutil::writeFile(tmp.file("copy.db"), testutil::readFile(file));
        return rows(tmp.file("copy.db"));
    };

    EXPECT_EQ(agent(true, {"first", "second", "third"}), 0);
    EXPECT_EQ(rows(file), Rows{"earlier0 first0 second0 third0"});
    EXPECT_EQ(agent(false, {"fourth", "fifth"}), 0);
    EXPECT_FALSE(testutil::exists(file + "-wal"));
    EXPECT_EQ(fileAlone(), Rows{"earlier0 first0 second0 third0 fourth0 fifth0"});

    // Overwritten in place while held: the next open moves it aside with its log; the keeper
    // holds the new file from its next refresh on.
    zorcee::db::WalKeeper keeper;
    ASSERT_TRUE(keeper.refresh(file));
    EXPECT_TRUE(record("lost with the file"));
    testutil::writeFile(file, std::string(4096, 'x'));
    EXPECT_TRUE(record("new"));
    ASSERT_TRUE(keeper.refresh(file));
    EXPECT_TRUE(record("newer"));
    keeper.release();
    EXPECT_EQ(fileAlone(), Rows{"new0 newer0"});
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) {
        const std::string name = entry.path().filename().string();
        if (name.find(".damaged-") != std::string::npos && name.find("-wal") == std::string::npos) {
            ++aside;
            EXPECT_EQ(testutil::readFile(entry.path().string()), std::string(4096, 'x'));
        }
    }
    EXPECT_EQ(aside, 1);
}
