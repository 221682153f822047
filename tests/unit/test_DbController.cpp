// Database preparation: directories, lock files, schema creation, open/close protocol.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "DbController.h"
#include "DbLock.h"
#include "FileUtil.h"
#include "TestUtil.h"

using zorcee::db::DbController;
using zorcommon::DbLock;

namespace {

std::vector<std::string> tableNames(const std::string& dbPath) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<std::string> names;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name FROM sqlite_master WHERE type='table' AND name != "
                       "'sqlite_sequence' ORDER BY rowid",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return names;
}

std::string queryText(const std::string& dbPath, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    std::string out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const auto* t = sqlite3_column_text(st, i);
            out += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        out += "\n";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

int modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class DbControllerTest : public ::testing::Test {
  protected:
    testutil::TempDir tmp;
    testutil::CapturedLog log{"cee"};
};

}  // namespace

TEST(MakeDirectories, CreatesChainAndRefusesFileComponent) {
    testutil::TempDir tmp;
    const std::string deep = tmp.path() + "//a/b/c/";
    ::umask(022);
    EXPECT_EQ(zorcommon::makeDirectories(deep), 0);
    EXPECT_EQ(modeOf(tmp.path() + "/a"), 0755);
    EXPECT_EQ(modeOf(tmp.path() + "/a/b/c"), 0755);
    EXPECT_EQ(zorcommon::makeDirectories(deep), 0);  // idempotent
    EXPECT_EQ(zorcommon::makeDirectories(""), 0);

    testutil::writeFile(tmp.file("plain"), "x");
    EXPECT_EQ(zorcommon::makeDirectories(tmp.file("plain") + "/sub"), 2);
    EXPECT_FALSE(testutil::exists(tmp.file("plain") + "/sub"));
}

TEST(DbLock, CreateIsExclusiveAndRemoveIsTolerant) {
    testutil::TempDir tmp;
    DbLock empty;
    EXPECT_FALSE(empty.createLockFile());
    EXPECT_FALSE(empty.removeLockFile());
    EXPECT_FALSE(empty.existsLockFile());

    DbLock lock(tmp.path(), "x.lock", 1);
    EXPECT_FALSE(lock.existsLockFile());
    EXPECT_TRUE(lock.createLockFile());
    EXPECT_TRUE(lock.existsLockFile());
    EXPECT_EQ(testutil::readFile(tmp.file("x.lock")), "");
    EXPECT_FALSE(lock.createLockFile());  // already there
    EXPECT_TRUE(lock.removeLockFile());
    EXPECT_FALSE(lock.existsLockFile());
    EXPECT_TRUE(lock.removeLockFile());  // nothing to remove is fine

    // A folder that cannot hold the file: creation is reported as failed.
    DbLock nowhere(tmp.path() + "/missing", "x.lock", 2);
    EXPECT_FALSE(nowhere.createLockFile());

    // Many threads racing for one lock file: exactly one wins.
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            DbLock racer(tmp.path(), "race.lock", 1);
            if (racer.createLockFile()) {
                ++winners;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(winners.load(), 1);
}

TEST_F(DbControllerTest, FirstStartCreatesDirectoriesSchemaAndVersion) {
    const std::string dir = tmp.path() + "/var/local/zorcee";
    DbController ctl;
    ASSERT_EQ(ctl.init(dir, "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    const std::string db = dir + "/cee_pkg_upd.db";
    EXPECT_EQ(modeOf(dir), 0755);
    EXPECT_EQ(tableNames(db),
              (std::vector<std::string>{"command_info", "package_list", "cancel_cid_list",
                                        "proc_info", "version"}));
    EXPECT_EQ(queryText(db, "SELECT db_version, update_date IS NULL FROM version"), "1.0|1\n");
    EXPECT_FALSE(testutil::exists(dir + "/db_cee.lock"));

    // The exact statements are part of the file format.
    EXPECT_EQ(queryText(db, "SELECT sql FROM sqlite_master WHERE name='proc_info'"),
              "CREATE TABLE [proc_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
              "[command_info_id] INTEGER NOT NULL REFERENCES [command_info] ([id]), "
              "[sched_proc_time] DATETIME NOT NULL, [exic_num] INTEGER NOT NULL DEFAULT '0', "
              "[proc_status] INTEGER NOT NULL DEFAULT '0', [r_start_time] DATETIME, "
              "[r_end_time] DATETIME, [r_result_str] TEXT, [cancel_time] DATETIME,  "
              "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] "
              "DATETIME )\n");

    const std::string text = log.text();
    EXPECT_NE(text.find("] in init : path -> " + dir +
                        " : filename -> cee_pkg_upd.db : lock_file(cee) -> db_cee.lock : "
                        "lock_file(upd) -> db_upd.lock"),
              std::string::npos);
    EXPECT_TRUE(log.contains("] in init : setDbFilename : exist DB -> false"));
    EXPECT_TRUE(log.contains("] in open : create lock file [RW] -> success"));
    EXPECT_TRUE(log.contains("] in createDbFile : exec prepare rc -> success (101)"));
    EXPECT_TRUE(log.contains("] in close : remove lock file [RW] -> success"));
    EXPECT_TRUE(log.contains("] in init : create directory & db file : result -> success"));
    EXPECT_TRUE(log.contains("I : [DbController.cpp:"));
}

TEST_F(DbControllerTest, FileWithoutTheSchemaGetsItAndKeepsItsRows) {
    const std::vector<std::string> all = {"command_info", "package_list", "cancel_cid_list",
                                          "proc_info", "version"};
    struct Case {
        const char* setup;        // SQL run on the file before init; nullptr: 0-byte file
        const char* rows;         // command_info ids afterwards
        const char* versionRows;  // version rows afterwards
    };
    const Case cases[] = {
        {nullptr, "", "1\n"},
        // A creation cut off after its first table, and a row written into it since.
        {"CREATE TABLE [command_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_json] "
         "VARCHAR (32) ); INSERT INTO command_info (command_json) VALUES ('Restart');",
         "1\n", "1\n"},
    };
    for (const auto& c : cases) {
        testutil::TempDir dir;
        const std::string file = dir.file("cee_pkg_upd.db");
        if (c.setup == nullptr) {
            testutil::writeFile(file, "");
        } else {
            sqlite3* raw = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(raw, c.setup, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(raw);
        }
        DbController ctl;
        EXPECT_EQ(ctl.init(dir.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
        auto names = tableNames(file);
        std::sort(names.begin(), names.end());
        auto expected = all;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names, expected) << (c.setup ? c.setup : "empty file");
        EXPECT_EQ(queryText(file, "SELECT id FROM command_info"), c.rows);
        EXPECT_EQ(queryText(file, "SELECT COUNT(*) FROM version"), c.versionRows);

        // Complete now: a second start changes nothing.
        DbController again;
        EXPECT_EQ(again.init(dir.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
        EXPECT_EQ(queryText(file, "SELECT COUNT(*) FROM version"), "1\n");
    }
}

TEST_F(DbControllerTest, MissingFileIsNotCreatedByAnOpen) {
    zorcommon::setupLockFiles(tmp.path(), "db_cee.lock", "db_upd.lock");
    DbController ctl;
    EXPECT_FALSE(ctl.open(tmp.path(), "gone.db"));
    ctl.close();
    EXPECT_FALSE(testutil::exists(tmp.file("gone.db")));
    EXPECT_TRUE(log.contains("] in open : DB open failed -> 14"));
}

TEST_F(DbControllerTest, LeftoverAgentLockRemovedUpdaterLockKept) {
    testutil::writeFile(tmp.file("db_cee.lock"), "");
    testutil::writeFile(tmp.file("db_upd.lock"), "");
    DbController ctl;
    EXPECT_EQ(ctl.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
    EXPECT_TRUE(testutil::exists(tmp.file("db_upd.lock")));
    EXPECT_TRUE(log.contains("I : [DbController.cpp:"));
    EXPECT_TRUE(log.contains("] in init : remove lock file! [RW]"));
}

TEST_F(DbControllerTest, EmptyNamesAndImpossibleDirectory) {
    DbController ctl;
    EXPECT_EQ(ctl.init("", "x.db", "a", "b"), 1);
    EXPECT_EQ(ctl.init(tmp.path(), "", "a", "b"), 1);

    testutil::writeFile(tmp.file("file"), "x");
    EXPECT_EQ(ctl.init(tmp.file("file") + "/db", "x.db", "a", "b"), 2);
    EXPECT_TRUE(log.contains("E : [DbController.cpp:"));
    EXPECT_TRUE(log.contains("] in createDbFile error : failed to create directory -> 2"));
}

TEST_F(DbControllerTest, OpenRefusedWhileLockExistsAndCloseRemovesIt) {
    DbController setup;
    ASSERT_EQ(setup.init(tmp.path() + "/", "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    EXPECT_TRUE(testutil::exists(tmp.path() + "//cee_pkg_upd.db"));  // trailing "/" works

    DbController first;
    ASSERT_TRUE(first.open(tmp.path(), "cee_pkg_upd.db"));
    EXPECT_TRUE(testutil::exists(tmp.file("db_cee.lock")));

    log.clear();
    DbController second;
    EXPECT_FALSE(second.open(tmp.path(), "cee_pkg_upd.db"));
    EXPECT_EQ(second.getDb(), nullptr);
    EXPECT_TRUE(log.contains("] in open : create lock file [RW] -> failed!"));
    log.clear();
    second.close();  // removes the lock anyway, and logs only the lock line
    EXPECT_FALSE(log.contains("in close : db file"));
    EXPECT_TRUE(log.contains("] in close : remove lock file [RW] -> success"));
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
    first.close();
}

TEST_F(DbControllerTest, TransactionsNeedAConnection) {
    DbController setup;
    ASSERT_EQ(setup.init(tmp.path(), "c.db", "db_cee.lock", "db_upd.lock"), 0);
    DbController ctl;
    EXPECT_FALSE(ctl.beginTransaction());
    ASSERT_TRUE(ctl.open(tmp.path(), "c.db"));
    ASSERT_TRUE(ctl.beginTransaction());
    ASSERT_EQ(sqlite3_exec(ctl.getDb(), "INSERT INTO command_info (command_json) VALUES ('x')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_TRUE(ctl.rollbackTransaction());
    EXPECT_FALSE(ctl.commitTransaction());  // nothing open any more
    ctl.close();
    EXPECT_EQ(queryText(tmp.file("c.db"), "SELECT count(*) FROM command_info"), "0\n");
}

TEST_F(DbControllerTest, FailedSchemaStatementDeletesTheFile) {
    // An index holding a table's name makes that CREATE fail.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("c.db").c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "CREATE TABLE x (y); CREATE INDEX proc_info ON x (y)", nullptr, nullptr,
                 nullptr);
    sqlite3_close(raw);

    zorcommon::setupLockFiles(tmp.path(), "db_cee.lock", "db_upd.lock");
    DbController ctl;
    ctl.setDbFilename(tmp.path(), "c.db");
    EXPECT_FALSE(ctl.createDbFile());
    EXPECT_TRUE(log.contains("W : [DbController.cpp:"));
    EXPECT_TRUE(log.contains("] in createDbFile : exec prepare : result -> not done ("));
    EXPECT_TRUE(log.contains("] in createDbFile failed ! : failed or not create table num -> 1"));
    EXPECT_TRUE(log.contains("] in createDbFile : remove database file"));
    EXPECT_FALSE(testutil::exists(tmp.file("c.db")));
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
}

TEST_F(DbControllerTest, DatabaseThatCannotBeOpened) {
    ASSERT_EQ(::mkdir(tmp.file("c.db").c_str(), 0755), 0);  // a folder in the file's place
    zorcommon::setupLockFiles(tmp.path(), "db_cee.lock", "db_upd.lock");
    DbController ctl;
    ctl.setDbFilename(tmp.path(), "c.db");
    EXPECT_FALSE(ctl.createDbFile());
    EXPECT_TRUE(log.contains("] in createDbFile open -> false"));
    EXPECT_TRUE(log.contains("] in createDbFile : open failed!"));
}
