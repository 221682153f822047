// The updater's database access where whole runs cannot show it: which run is due, the retry
// count, many cancel targets at once, and the agent and the updater holding connections at the
// same time (busy time-out). Jobs are written with the agent's own schema and row code.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "DbController.h"
#include "TestUtil.h"
#include "updater/db/DbUpdController.h"

using zorupd::db::DbUpdController;
using zorupd::db::data::CancelProcInfo;
using zorupd::db::data::PackageInfoData;

namespace {

using Rows = std::vector<std::string>;
const char* const kDb = "cee_pkg_upd.db";

// UTC+9 wall-clock text, as the agent writes sched_proc_time.
std::string wallClock(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// A database made by the agent, its connection (for writing jobs) and the updater's.
class Jobs {
  public:
    Jobs() {
        setenv("TZ", "JST-9", 1);
        tzset();
        zorcee::db::DbController setup;
        EXPECT_EQ(setup.init(tmp.path(), kDb, "db_cee.lock", "db_upd.lock"), 0);
        EXPECT_TRUE(agent.open(tmp.path(), kDb));
        EXPECT_EQ(db.init(tmp.path(), kDb, "db_cee.lock", "db_upd.lock"), 0);
        EXPECT_TRUE(db.open());
    }
    ~Jobs() {
        db.close();
        agent.close();
    }

    void exec(const std::string& sql) {
        EXPECT_EQ(sqlite3_exec(agent.getDb(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sql;
    }
    // An update order written by the agent; its command_info id.
    std::int64_t order(const std::string& commandId, int type) {
        const auto id = agent.insertCommandInfoBasic("UpdateLogger", "<r/>", "2026/12/07 10:00:00");
        EXPECT_EQ(agent.updateCommandInfoForUpd(id, commandId, "REQ", type, "x"), 1);
        return id;
    }
    // A run of that order due `minutes` from now, in state `status`; its id.
    std::int64_t run(std::int64_t order, int minutes, int status = 0) {
        EXPECT_EQ(agent.insertProcInfo(order, wallClock(std::time(nullptr) + minutes * 60)), 1);
        const auto id = sqlite3_last_insert_rowid(agent.getDb());
        exec("UPDATE proc_info SET proc_status = " + std::to_string(status) +
             " WHERE id = " + std::to_string(id));
        return id;
    }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"upd"};
    zorcee::db::DbController agent;
    DbUpdController db;
};

}  // namespace

TEST(DbUpdController, DueRunIsTheHighestTypeThenTheEarliestDueInUtcPlusNine) {
    struct Run {
        int type;
        int minutes;  // due time from now
        int status;
    };
    const struct {
        const char* name;
        std::vector<Run> runs;
        int winner;  // index into runs, -1: none
    } cases[] = {
        {"not yet due, done, no update type",
         {{0, 10, 0}, {0, -10, 1}, {-1, -10, 0}, {3, -10, 0}},
         -1},
        {"failed, cancelled, superseded", {{0, -5, 2}, {0, -5, 3}, {0, -5, 4}, {0, -5, 5}}, -1},
        {"emergency due later beats normal", {{0, -30, 0}, {1, -5, 0}, {2, 5, 0}}, 1},
        {"type 2 first", {{1, -30, 0}, {2, -5, 0}, {0, -60, 0}}, 1},
        {"earliest of one type", {{0, -5, 0}, {0, -60, 0}, {0, -30, 0}}, 1},
        {"a minute ahead is not due, a minute ago is", {{1, 1, 0}, {0, -1, 0}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Jobs j;
        std::vector<std::int64_t> runs;
        for (size_t i = 0; i < c.runs.size(); ++i) {
            const auto order = j.order(std::to_string(500 + i), c.runs[i].type);
            runs.push_back(j.run(order, c.runs[i].minutes, c.runs[i].status));
        }
        const auto due = j.db.selectTargetCommandInfo();
        const auto w = static_cast<size_t>(std::max(c.winner, 0));
        EXPECT_EQ(due.proc_info_id, c.winner < 0 ? -1 : runs[w]);
        EXPECT_EQ(due.command_id, c.winner < 0 ? -1 : 500 + c.winner);
        EXPECT_EQ(due.command_type, c.winner < 0 ? -1 : c.runs[w].type);
    }
}

TEST(DbUpdController, RetryCount) {
    Jobs j;
    // The stored count of the latest run; a count that is no whole number >= 0 is unusable.
    const struct {
        const char* stored;
        int next;
    } cases[] = {{"0", 0},      {"4", 4},     {"5", -1},   {"7", -1},
                 {"'abc'", -3}, {"-100", -3}, {"1.5", -3}, {"4294967296", -3}};
    for (const auto& c : cases) {
        const auto id = j.order("800", 0);
        j.run(id, -10, 2);
        j.exec("UPDATE proc_info SET exic_num = " + std::string(c.stored) +
               " WHERE command_info_id = " + std::to_string(id));
        EXPECT_EQ(j.db.selectNextProcNum(id, 5), c.next) << c.stored;
    }
    // (The retry run's count and time: the whole runs.)
    EXPECT_EQ(j.db.insertNextProcInfo(j.order("802", 0), 120), -1);  // nothing to count from
}

TEST(DbUpdController, PackagesOfMoreThanAThousandCancelledUpdates) {
    Jobs j;
    j.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1200) INSERT "
        "INTO package_list (command_info_id, seq_no, package_filename, package_name, "
        "package_path) SELECT i, 1, 'p' || i || '_1_all.deb', 'p' || i, 'pool' FROM n");
    std::vector<CancelProcInfo> targets(1201);
    for (size_t i = 0; i < targets.size(); ++i) {
        targets[i].command_info_id = static_cast<std::int64_t>(i) + 1;
    }
    std::vector<PackageInfoData> list;
    EXPECT_EQ(j.db.selectCancelPackageInfo(targets, list), 1200);
    EXPECT_EQ(list.back().package_filename, "p1200_1_all.deb");
}

// The agent and the updater hold connections at the same time: a statement that meets the
// other's lock waits up to the busy time-out, then fails.
TEST(DbUpdController, OtherConnectionsLocksAndTheBusyTimeOut) {
    struct Restore {
        ~Restore() { zorcommon::setBusyTimeoutMs(-1); }
    } restore;
    zorcommon::setBusyTimeoutMs(0);
    Jobs j;
    const auto id = j.order("77", 0);
    j.run(id, -10);
    // The agent writes inside its transaction: the updater still reads, but cannot write.
    ASSERT_TRUE(j.agent.beginTransaction());
    ASSERT_EQ(j.agent.insertProcInfo(id, "2000-01-02 00:00:00"), 1);
    EXPECT_EQ(j.db.selectTargetCommandInfo().command_id, 77);
    EXPECT_EQ(j.db.insertNextProcInfo(id, 120), -1);
    EXPECT_TRUE(j.agent.commitTransaction());
    // Under a busy time-out the updater's commit waits until a reader is done.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(j.tmp.file(kDb).c_str(), &reader), SQLITE_OK);
    sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM proc_info;", nullptr, nullptr, nullptr);
    j.db.close();
    zorcommon::setBusyTimeoutMs(5000);
    ASSERT_TRUE(j.db.open());
    ASSERT_TRUE(j.db.beginTransaction());
    ASSERT_EQ(j.db.insertNextProcInfo(id, 120), 1);
    std::thread readerDone([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        sqlite3_exec(reader, "ROLLBACK;", nullptr, nullptr, nullptr);
    });
    EXPECT_TRUE(j.db.commitTransaction());
    readerDone.join();
    sqlite3_close(reader);
    EXPECT_EQ(testutil::queryRows(j.db.getDb(), "SELECT exic_num FROM proc_info ORDER BY id"),
              (Rows{"0", "0", "1"}));
}
