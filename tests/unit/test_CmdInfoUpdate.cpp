// The update order: request reading, scheduling with a set clock, the job in the database, the
// response XML and the rollback of a failed job.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <random>
#include <set>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"

using zorcee::command::CmdInfoUpdate;

namespace {

std::string b64(const std::string& s) {
    return zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// Seconds since the epoch of a wall-clock time in UTC+9.
std::time_t jst(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t) - 9 * 3600;
}

std::string request(const std::string& type, const std::string& body,
                    const std::string& commandId = "CMD-1") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest id=\"REQ-1\"><command>"
           "UpdateLogger</command><requestData><command_type id=\"" +
           commandId + "\">" + type + "</command_type>" + body + "</requestData></commandRequest>";
}

const std::string kTwoPackages =
    "<p>/var/repos/tools/abc_1.2_armhf.deb</p><p>pkgs\\tools\\def_2.0_armhf.deb</p>";

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TZ", "JST-9", 1);
        ::tzset();
        writeSystemSetting(true);
        writeSettings("");
    }
    void TearDown() override { zorcee::data::SettingData::destroyInstance(); }

    void writeSystemSetting(bool complete) {
        testutil::writeFile(tmp.file("SystemSetting.xml"),
                            complete ? "<logger loggerId=\"L-7\" plantId=\"P-3\"><general>"
                                       "<serverUrl>http://127.0.0.1:1/result</serverUrl>"
                                       "</general></logger>"
                                     : "<other/>");
    }
    void writeSettings(const std::string& pkgUpdate) {
        testutil::writeFile(tmp.file("cee.conf"),
                            "{\"CMD_SUBSTRATE_CODE\": \"true\", \"FILE_GROUP\": \"" +
                                tmp.file("group") + "\", \"SYSTEM_SETTING_XML_FILE\": \"" +
                                tmp.file("SystemSetting.xml") +
                                "\", \"DATABASE\": {\"DB_PATH\": \"" + tmp.path() +
                                "\"}, \"PKG_UPDATE\": {" + pkgUpdate + "}}");
        zorcee::data::SettingData::destroyInstance();
        zorcee::data::SettingData::createInstance(tmp.file("cee.conf"));
        zorcee::db::DbController setup;
        ASSERT_EQ(setup.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }

    std::unique_ptr<CmdInfoUpdate> command(const std::string& xml, std::time_t now,
                                           std::vector<std::uint32_t> draws = {0, 0}) {
        picojson::value order;
        picojson::parse(order, R"({"order":{"type":"cmd","indicate":"UpdateLogger","target":{}},)"
                               R"("data":{"value":")" +
                                   b64(xml) + R"("},"timestamp":"2026/12/07 10:00:00"})");
        auto cmd = std::make_unique<CmdInfoUpdate>(order);
        cmd->setClock([now] { return now; });
        cmd->setRandomSource([draws](std::time_t, int count) {
            return std::vector<std::uint32_t>(draws.begin(), draws.begin() + count);
        });
        return cmd;
    }

    std::vector<std::string> rows(const std::string& sql) {
        return testutil::queryRows(tmp.file("cee_pkg_upd.db"), sql);
    }
    void exec(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open(tmp.file("cee_pkg_upd.db").c_str(), &db);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    static picojson::value output(CmdInfoUpdate& cmd) {
        picojson::value v;
        picojson::parse(v, cmd.getOutputData());
        return v;
    }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"cee"};
};

using Rows = std::vector<std::string>;

}  // namespace

TEST_F(UpdateTest, NormalUpdateIsScheduledAndRecorded) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    auto cmd = command(request("0", kTwoPackages), now, {299 * 7 + 17, 4});  // 17 min, day 1
    EXPECT_TRUE(cmd->isExecutable() && cmd->hasOutput() && cmd->isSendResult());
    EXPECT_FALSE(cmd->isUseConnectionManager());
    EXPECT_EQ(cmd->getServerUrl(), "http://127.0.0.1:1/result");
    EXPECT_EQ(cmd->execCommand(), 0);

    const std::string xml = zorcommon::decodeBase64(cmd->getResultString());
    EXPECT_EQ(xml,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<commandRequest id=\"REQ-1\" loggerId=\"L-7\" plantId=\"P-3\">\n"
              "    <command>NotifyUpdateLoggerResponse</command>\n"
              "    <requestData>\n"
              "        <p x=\"1\" id=\"CMD-1\">20261208231700</p>\n"
              "        <status_list/>\n"
              "    </requestData>\n"
              "</commandRequest>\n");
    const auto answer = output(*cmd);
    EXPECT_EQ(answer.get("data").get("value").get<std::string>(), cmd->getResultString());
    EXPECT_EQ(answer.get("data").get("result").get<std::string>(), "success");

    EXPECT_EQ(rows("SELECT command_json, server_time_str, upd_command_id, upd_cmd_req_id, "
                   "upd_command_type, upd_sched_exec_time, res_error_str, res_result FROM "
                   "command_info"),
              (Rows{"UpdateLogger|2026-12-07 10:00:00|CMD-1|REQ-1|0|2026-12-08 23:17:00||0"}));
    EXPECT_EQ(rows("SELECT res_result_str FROM command_info"), (Rows{xml}));
    EXPECT_EQ(rows("SELECT seq_no, package_filename, package_name, package_path FROM "
                   "package_list ORDER BY seq_no"),
              (Rows{"1|abc_1.2_armhf.deb|abc|tools", "2|def_2.0_armhf.deb|def|pkgs/tools"}));
    EXPECT_EQ(rows("SELECT sched_proc_time, exic_num, proc_status FROM proc_info"),
              (Rows{"2026-12-08 23:17:00|0|0"}));
    EXPECT_TRUE(log.contains("I : [CmdInfoUpdate.cpp:"));
    EXPECT_TRUE(log.contains("] in CmdInfoUpdate execute true"));
    EXPECT_TRUE(
        log.contains("] in CmdInfoUpdate : loggerId -> L-7 : plantId -> P-3 : "
                     "serverUrl-> http://127.0.0.1:1/result"));
    EXPECT_TRUE(
        log.contains("] in CmdInfoUpdate calculateTimeToExecute : start date -> "
                     "2026-12-07 23:00:00 : end date -> 2026-12-10 03:59:59"));
    EXPECT_TRUE(log.contains("] in CmdInfoUpdate execCommand : DB commit -> success"));
}

TEST_F(UpdateTest, WindowThatHasBegunMovesToTheNextNight) {
    struct Case {
        std::time_t now;
        std::time_t earliest;
        std::time_t latest;
    } cases[] = {
        // 23:30: tonight's window has begun, the earliest run is tomorrow 23:00.
        {jst(2026, 12, 7, 23, 30), jst(2026, 12, 8, 23, 0), jst(2026, 12, 11, 3, 58)},
        // 02:00, inside the window that began yesterday: the earliest is 23:00 the same day.
        {jst(2026, 12, 7, 2, 0), jst(2026, 12, 7, 23, 0), jst(2026, 12, 10, 3, 58)},
        // 10:00: tonight.
        {jst(2026, 12, 7, 10, 0), jst(2026, 12, 7, 23, 0), jst(2026, 12, 10, 3, 58)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(command(request("0", kTwoPackages), c.now, {0, 0})->calculateTimeToExecute(),
                  c.earliest);
        EXPECT_EQ(command(request("0", kTwoPackages), c.now, {298, 2})->calculateTimeToExecute(),
                  c.latest);
        EXPECT_EQ(command(request("0", kTwoPackages), c.now, {299, 3})->calculateTimeToExecute(),
                  c.earliest);  // draws wrap around
    }
}

TEST_F(UpdateTest, SchedulerStaysInTheWindowOverManyDraws) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    std::mt19937 generator(12345);
    std::set<int> days;
    std::set<int> minutes;
    for (int i = 0; i < 3000; ++i) {
        auto cmd = command(request("0", kTwoPackages), now);
        cmd->setRandomSource([&generator](std::time_t, int count) {
            std::vector<std::uint32_t> draws;
            for (int k = 0; k < count; ++k) {
                draws.push_back(generator());
            }
            return draws;
        });
        const std::time_t run = cmd->calculateTimeToExecute();
        ASSERT_EQ(run % 60, 0);
        const std::time_t fromFirst = run - jst(2026, 12, 7, 23, 0);
        const int day = static_cast<int>(fromFirst / 86400);
        const int minute = static_cast<int>(fromFirst % 86400 / 60);
        ASSERT_GE(day, 0);
        ASSERT_LE(day, 2);
        ASSERT_LE(minute, 298) << "after 03:58";
        days.insert(day);
        minutes.insert(minute);
    }
    EXPECT_EQ(days.size(), 3u);
    EXPECT_GT(minutes.size(), 250u);

    // Emergency runs: 60 to 359 seconds ahead.
    std::set<std::time_t> offsets;
    for (int i = 0; i < 3000; ++i) {
        auto cmd = command(request("1", kTwoPackages), now);
        cmd->setRandomSource([&generator](std::time_t, int) {
            return std::vector<std::uint32_t>{static_cast<std::uint32_t>(generator())};
        });
        const std::time_t offset = cmd->calculateTimeToEmargencyExecute() - now;
        ASSERT_GE(offset, 60);
        ASSERT_LE(offset, 359);
        offsets.insert(offset);
    }
    EXPECT_EQ(offsets.size(), 300u);
}

TEST_F(UpdateTest, EmergencyUpdateCancelsKnownCommandIds) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    ASSERT_EQ(command(request("0", kTwoPackages, "B"), now)->execCommand(), 0);

    auto cmd = command(request("1",
                               "<p>/var/repos/x/new_3_armhf.deb</p><cancel_id_list><p>A</p>"
                               "<p></p><p>B</p></cancel_id_list>",
                               "E-1"),
                       now + 5, {100});
    EXPECT_EQ(cmd->execCommand(), 0);
    const std::string xml = zorcommon::decodeBase64(cmd->getResultString());
    EXPECT_NE(xml.find("        <p x=\"1\" id=\"E-1\">20261207100245</p>\n"
                       "        <status_list>\n"
                       "            <p x=\"1\" id=\"B\">4</p>\n"
                       "        </status_list>\n"),
              std::string::npos)
        << xml;
    EXPECT_EQ(rows("SELECT seq_no, cancel_command_id, is_cancel FROM cancel_cid_list ORDER BY id"),
              (Rows{"1|A|0", "2|B|1"}));  // the entry without text names nothing
    EXPECT_EQ(rows("SELECT upd_command_type, upd_sched_exec_time FROM command_info WHERE "
                   "upd_command_id = 'E-1'"),
              (Rows{"1|2026-12-07 10:02:45"}));
    // The earlier order's run is left for the updater to cancel.
    EXPECT_EQ(rows("SELECT proc_status FROM proc_info ORDER BY id"), (Rows{"0", "0"}));

    // Only cancel ids: scheduled, without packages.
    auto only =
        command(request("1", "<cancel_id_list><p>B</p></cancel_id_list>", "E-2"), now + 10, {0});
    EXPECT_EQ(only->execCommand(), 0);
    EXPECT_TRUE(
        log.contains("] in CmdInfoUpdate execCommand : no target to update package, but "
                     "there is command_id to delete (cancel cid size=1)"));
    EXPECT_EQ(rows("SELECT count(*) FROM package_list pl JOIN command_info ci ON ci.id = "
                   "pl.command_info_id WHERE ci.upd_command_id = 'E-2'"),
              (Rows{"0"}));
    EXPECT_EQ(rows("SELECT count(*) FROM proc_info pi JOIN command_info ci ON ci.id = "
                   "pi.command_info_id WHERE ci.upd_command_id = 'E-2'"),
              (Rows{"1"}));
}

TEST_F(UpdateTest, UnusableRequestsAreAnsweredWithDetail) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    // Nesting far beyond the XML parser's depth limit reads as no request at all.
    std::string deep =
        "<commandRequest id=\"R\"><requestData><command_type id=\"C\">0</command_type>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<p>";
    }
    // One entry more than an order may carry, as packages and as cancel ids.
    std::string manyPackages;
    std::string manyCancels;
    for (int i = 0; i <= 1000; ++i) {
        manyPackages += "<p>/var/repos/p" + std::to_string(i) + "_1_all.deb</p>";
        manyCancels += "<p>C" + std::to_string(i) + "</p>";
    }
    struct Case {
        std::string xml;
        std::string detail;
    } cases[] = {
        {"<commandRequest id=\"R\"><command>UpdateLogger</command></commandRequest>",
         "XML parsing error (err=-102) [st=0]"},
        {"not xml at all", "XML parsing error (err=-101) [st=0]"},
        {"<commandRequest><requestData/></commandRequest>", "XML parsing error (err=-103) [st=0]"},
        {request("x1", kTwoPackages), "XML parsing error (err=-104) [st=0]"},
        {"<commandRequest id=\"R\"><requestData><command_type>0</command_type></requestData>"
         "</commandRequest>",
         "XML parsing error (err=-105) [st=0]"},
        {"<commandRequest id=\"R\"><requestData/></commandRequest>",
         "XML parsing error (err=-106) [st=0]"},
        {request("2", kTwoPackages), "XML parsing error (err=2) [st=0]"},
        {deep, "XML parsing error (err=-101) [st=0]"},
        {request("0", "<p/>"), "XML parsing error (err=-1) [st=0]"},
        {request("0", ""), "Failed to get update target (command_type=0) [st=1]"},
        {request("1", ""),
         "Failed to get update target and command_id list to cancel (command_type=1) [st1]"},
        {request("0", manyPackages), "XML parsing error (err=-107) [st=0]"},
        {request("1", "<cancel_id_list>" + manyCancels + "</cancel_id_list>"),
         "XML parsing error (err=-107) [st=0]"},
    };
    for (const auto& c : cases) {
        auto cmd = command(c.xml, now);
        EXPECT_EQ(cmd->execCommand(), -1) << c.xml;
        const std::string xml = zorcommon::decodeBase64(cmd->getResultString());
        EXPECT_NE(
            xml.find(">0</p>\n        <status_list/>\n        <detail>" + c.detail + "</detail>\n"),
            std::string::npos)
            << xml;
        EXPECT_EQ(output(*cmd).get("data").get("result").get<std::string>(), "failed");
    }
    // " 1 " and "1x" count as 1.
    std::string rid, cid;
    std::vector<std::string> packages, cancels;
    EXPECT_EQ(
        command("", now)->getPkgListFromRecvData(request(" 1x", ""), rid, cid, packages, cancels),
        1);
    EXPECT_EQ(rows("SELECT count(*) FROM proc_info"), (Rows{"0"}));
    EXPECT_EQ(rows("SELECT res_result, res_error_str FROM command_info ORDER BY id LIMIT 1"),
              (Rows{"-1|XML parsing error (err=-102) [st=0]"}));
}

TEST_F(UpdateTest, SameCommandIdTwiceSupersedesTheFirstRun) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    ASSERT_EQ(command(request("0", kTwoPackages, "SAME"), now)->execCommand(), 0);
    ASSERT_EQ(command(request("0", kTwoPackages, "SAME"), now + 60)->execCommand(), 0);
    EXPECT_EQ(rows("SELECT proc_status FROM proc_info ORDER BY id"), (Rows{"5", "0"}));
}

TEST_F(UpdateTest, MissingSystemSettingMeansNoRun) {
    writeSystemSetting(false);
    auto cmd = command(request("0", kTwoPackages), jst(2026, 12, 7, 10, 0));
    EXPECT_TRUE(log.contains("] in CmdInfoUpdate : error load SystemSetting.xml"));
    EXPECT_EQ(cmd->execCommand(), -1);
    const std::string xml = zorcommon::decodeBase64(cmd->getResultString());
    EXPECT_NE(xml.find("<commandRequest id=\"REQ-1\" loggerId=\"unknown\" plantId=\"unknown\">"),
              std::string::npos);
    EXPECT_NE(xml.find("<detail>SystemSettins.xml setting is not over [st=0]</detail>"),
              std::string::npos);
    EXPECT_TRUE(log.contains("] in CmdInfoUpdate execCommand : SystemSetting.xml is not setup."));
    EXPECT_EQ(rows("SELECT count(*) FROM proc_info"), (Rows{"0"}));
}

TEST_F(UpdateTest, SettingsThatBreakTheWindowLimits) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    const std::pair<std::string, std::string> cases[] = {
        {R"("TIME_START": "23:00:00", "TIME_END": "23:00:00")", "command_type=0"},
        {R"("TIME_START": "23:00:00", "TIME_END": "23:00:59")", "command_type=0"},
        {R"("DAY_SPAN": 0)", "command_type=0"},
        {R"("TIME_START": "23:00")", "command_type=0"},
        {R"("EMARG_UPD_START_SEC": 60, "EMARG_UPD_END_SEC": 60)", "command_type=1"},
        {R"("EMARG_UPD_START_SEC": 90, "EMARG_UPD_END_SEC": 60)", "command_type=1"},
    };
    for (const auto& c : cases) {
        writeSettings(c.first);
        auto cmd = command(request(c.second == "command_type=0" ? "0" : "1", kTwoPackages), now);
        EXPECT_EQ(cmd->execCommand(), -1) << c.first;
        EXPECT_NE(zorcommon::decodeBase64(cmd->getResultString())
                      .find("<detail>Failed to calculate update start time (" + c.second +
                            ") [st=2]</detail>"),
                  std::string::npos)
            << c.first;
    }
}

TEST_F(UpdateTest, FailureInsideTheJobRollsItBack) {
    const std::time_t now = jst(2026, 12, 7, 10, 0);
    exec(
        "CREATE TRIGGER no_runs BEFORE INSERT ON proc_info BEGIN SELECT RAISE(ABORT, 'full'); "
        "END;");
    auto cmd =
        command(request("1", kTwoPackages + "<cancel_id_list><p>A</p></cancel_id_list>"), now);
    EXPECT_EQ(cmd->execCommand(), -6);
    EXPECT_EQ(output(*cmd).get("data").get("result").get<std::string>(), "failed");
    // The order's own row keeps the failure; the job rows are gone.
    EXPECT_EQ(rows("SELECT upd_command_type, res_result, res_error_str FROM command_info"),
              (Rows{"-1|-6|Failed to insert proc info in cee db [st=3]"}));
    EXPECT_EQ(rows("SELECT (SELECT count(*) FROM package_list) + (SELECT count(*) FROM "
                   "cancel_cid_list) + (SELECT count(*) FROM proc_info)"),
              (Rows{"0"}));

    // A package list that cannot be written.
    exec("DROP TRIGGER no_runs");
    exec(
        "CREATE TRIGGER no_packages BEFORE INSERT ON package_list BEGIN SELECT RAISE(ABORT, "
        "'x'); END;");
    auto second = command(request("0", kTwoPackages, "CMD-2"), now);
    EXPECT_EQ(second->execCommand(), -2);
    EXPECT_EQ(rows("SELECT res_result, res_error_str FROM command_info WHERE id = 2"),
              (Rows{"-2|Failed to insert package list in cee db [st=3]"}));
    EXPECT_EQ(rows("SELECT count(*) FROM proc_info"), (Rows{"0"}));
}

TEST_F(UpdateTest, DatabaseLockedByAnotherProgram) {
    zorcommon::setBusyTimeoutMs(0);  // BUSY_TIMEOUT_MS 0: no waiting at all
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("cee_pkg_upd.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto cmd = command(request("0", kTwoPackages), jst(2026, 12, 7, 10, 0));
    // Neither the order nor its result could be written: answered all the same, without a
    // run time.
    EXPECT_EQ(cmd->execCommand(), -9);
    EXPECT_EQ(output(*cmd).get("data").get("result").get<std::string>(), "failed");
    EXPECT_NE(zorcommon::decodeBase64(cmd->getResultString())
                  .find(">0</p>\n        <status_list/>\n        <detail>Failed to insert command "
                        "info in cee db [st=3]</detail>"),
              std::string::npos);
    zorcommon::setBusyTimeoutMs(-1);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(rows("SELECT count(*) FROM command_info"), (Rows{"0"}));
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
}

TEST_F(UpdateTest, FailedCommitAnswersWithoutARunTime) {
    // A reader takes its shared lock while the job is being written (the draws of the
    // scheduling come just before): the commit cannot get its exclusive lock.
    zorcommon::setBusyTimeoutMs(0);
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("cee_pkg_upd.db").c_str(), &reader), SQLITE_OK);
    auto cmd = command(request("0", kTwoPackages), jst(2026, 12, 7, 10, 0));
    cmd->setRandomSource([reader](std::time_t, int count) {
        sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM command_info;", nullptr, nullptr,
                     nullptr);
        return std::vector<std::uint32_t>(static_cast<size_t>(count), 0);
    });
    EXPECT_EQ(cmd->execCommand(), -9);
    sqlite3_exec(reader, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    zorcommon::setBusyTimeoutMs(-1);

    EXPECT_EQ(output(*cmd).get("data").get("result").get<std::string>(), "failed");
    EXPECT_NE(zorcommon::decodeBase64(cmd->getResultString())
                  .find(">0</p>\n        <status_list/>\n        <detail>Failed to commit update "
                        "job in cee db [st=3]</detail>"),
              std::string::npos);
    EXPECT_EQ(rows("SELECT (SELECT count(*) FROM package_list) + (SELECT count(*) FROM proc_info)"),
              (Rows{"0"}));
}

TEST_F(UpdateTest, SchedulersStartedInTheSameSecondDiffer) {
    // Without a test source the draws come from the system's entropy: two terminals that get
    // one order in the same second pick different moments (a window of 3e8 seconds).
    writeSettings("\"EMARG_UPD_START_SEC\": 0, \"EMARG_UPD_END_SEC\": 300000000");
    std::set<std::time_t> runs;
    for (int i = 0; i < 2; ++i) {
        picojson::value order;
        picojson::parse(order, R"({"order":{"type":"cmd","indicate":"UpdateLogger"}})");
        CmdInfoUpdate cmd(order);
        cmd.setClock([] { return jst(2026, 12, 7, 10, 0); });
        runs.insert(cmd.calculateTimeToEmargencyExecute());
    }
    EXPECT_EQ(runs.size(), 2u);
}
