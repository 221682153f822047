// The update order under a set clock: where the run lands, the rows of the job, and the answer
// of an order that gets no run.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"

using zorcee::command::CmdInfoUpdate;
using Rows = std::vector<std::string>;

namespace {

// Seconds since the epoch of a wall-clock time in December 2026, UTC+9.
std::time_t jst(int day, int hour, int minute, int second = 0) {
    return 1796050800 + (day - 1) * 86400 + hour * 3600 + minute * 60 + second;
}

const std::string kPackages =
    "<p>/var/repos/tools/abc_1.2_armhf.deb </p><p>pkgs\\tools\\def_2.0_armhf.deb</p>";

std::string request(const std::string& type, const std::string& body = kPackages,
                    const std::string& id = "CMD-1") {
    return "<commandRequest id=\"REQ-1\"><requestData><command_type id=\"" + id + "\">" + type +
           "</command_type>" + body + "</requestData></commandRequest>";
}

const char* const kSystem =
    R"(<logger loggerId="L" plantId="P"><general><serverUrl>u</serverUrl></general></logger>)";

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override { configure(""); }
    void TearDown() override { zorcee::data::SettingData::destroyInstance(); }

    void configure(const std::string& pkgUpdate, const char* system = kSystem) {
        const std::string d = tmp.path();
        testutil::writeFile(d + "/s.xml", system);
        testutil::writeFile(d + "/c",
                            R"({"CMD_SUBSTRATE_CODE": "true", "FILE_GROUP": "", "DATABASE":)"
                            R"({"DB_FILE": "c.db", "DB_PATH": ")" +
                                d + R"("}, "SYSTEM_SETTING_XML_FILE": ")" + d +
                                R"(/s.xml", "PKG_UPDATE": {)" + pkgUpdate + "}}");
        zorcee::data::SettingData::destroyInstance();
        zorcee::data::SettingData::createInstance(tmp.file("c"));
        ASSERT_EQ(zorcee::db::DbController().init(tmp.path(), "c.db", "l1", "l2"), 0);
    }
    std::unique_ptr<CmdInfoUpdate> command(const std::string& xml, std::time_t now,
                                           std::vector<std::uint32_t> draws = {0, 0}) {
        picojson::value order;
        const auto* bytes = reinterpret_cast<const unsigned char*>(xml.data());
        picojson::parse(order, R"({"data":{"value":")" +
                                   zorcommon::encodeBase64(bytes, xml.size()) +
                                   R"("},"timestamp":"2026/12/07 10:00:00"})");
        auto cmd = std::make_unique<CmdInfoUpdate>(order);
        cmd->setClock([now] { return now; });
        cmd->setRandomSource([draws](std::time_t, int count) {
            return std::vector<std::uint32_t>(draws.begin(), draws.begin() + count);
        });
        return cmd;
    }
    // Runs the order: the answer's data.result and the response XML it carries.
    std::pair<std::string, std::string> run(CmdInfoUpdate& cmd, int rc) {
        EXPECT_EQ(cmd.execCommand(), rc);
        const picojson::value& data = cmd.getOrderJson().get("data");
        return {data.get("result").to_str(), zorcommon::decodeBase64(data.get("value").to_str())};
    }
    Rows rows(const std::string& sql) { return testutil::queryRows(tmp.file("c.db"), sql); }

    testutil::TempDir tmp;
};

}  // namespace

// Normal update (two draws): window 23:00 to 03:59:59 over three nights, in UTC + LOCALE_HOUR
// whatever the device's zone (here UTC-5), never at or before the order. Emergency update (one
// draw): 60 to 359 seconds ahead.
TEST_F(UpdateTest, WindowArithmetic) {
    // Settings, order time, draws, run time.
    const std::tuple<const char*, std::time_t, std::vector<std::uint32_t>, std::time_t> cases[] = {
        {"", jst(7, 10, 0), {0, 0}, jst(7, 23, 0)},
        {"", jst(7, 10, 0), {298, 2}, jst(10, 3, 58)},
        {"", jst(7, 10, 0), {299 + 17, 3 + 1}, jst(8, 23, 17)},
        {"", jst(7, 23, 0), {5, 0}, jst(8, 23, 5)},  // tonight's window has begun
        {"", jst(7, 2, 0), {0, 0}, jst(7, 23, 0)},   // last night's is still open
        {R"("LOCALE_HOUR": 0)", jst(7, 10, 0), {0, 0}, jst(8, 8, 0)},
        {"", jst(7, 10, 0), {0}, jst(7, 10, 1)},
        {"", jst(7, 10, 0), {299}, jst(7, 10, 5, 59)},
    };
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    for (const auto& [settings, now, draws, run] : cases) {
        configure(settings);
        auto cmd = command(request(draws.size() == 1 ? "1" : "0"), now, draws);
        EXPECT_EQ(draws.size() == 1 ? cmd->calculateTimeToEmargencyExecute()
                                    : cmd->calculateTimeToExecute(),
                  run)
            << settings << " " << draws[0];
    }
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    // Without a set source, two terminals scheduling in the same second draw differently.
    configure(R"("EMARG_UPD_START_SEC": 0, "EMARG_UPD_END_SEC": 300000000)");
    const auto draw = [] {
        return CmdInfoUpdate(picojson::value()).calculateTimeToEmargencyExecute();
    };
    EXPECT_NE(draw(), draw());
}

// A normal update, an emergency one cancelling a known and an unknown command id (an empty
// entry names nothing), one that only cancels, and the first one's command id once more.
TEST_F(UpdateTest, RowsOfTheJobAndTheAnswer) {
    const std::time_t now = jst(7, 10, 0);
    const std::string emergency =
        "<p>x/new_3_armhf.deb</p><cancel_id_list><p>A</p><p></p><p>B</p></cancel_id_list>";
    const std::vector<std::pair<std::shared_ptr<CmdInfoUpdate>, std::string>> orders = {
        {command(request("0", kPackages, "B"), now, {17, 1}), R"(id="B">20261208231700<)"},
        {command(request("1", emergency, "E-1"), now + 5, {100}), R"(id="B">4</p>)"},
        {command(request("1", "<cancel_id_list><p>B</p></cancel_id_list>", "E-2"), now, {10}),
         R"(id="E-2">20261207100110<)"},
        {command(request("0", kPackages, "B"), now), R"(id="B">20261207230000<)"},
    };
    for (const auto& o : orders) {
        const auto [result, xml] = run(*o.first, 0);
        EXPECT_EQ(result, "success");
        EXPECT_NE(xml.find(o.second), std::string::npos) << xml;
        EXPECT_EQ(xml.find(R"(id="A")"), std::string::npos) << xml;
    }
    EXPECT_EQ(rows("SELECT id, upd_command_id, upd_cmd_req_id, upd_command_type, "
                   "upd_sched_exec_time, server_time_str, res_result FROM command_info"),
              (Rows{"1|B|REQ-1|0|2026-12-08 23:17:00|2026-12-07 10:00:00|0",
                    "2|E-1|REQ-1|1|2026-12-07 10:02:45|2026-12-07 10:00:00|0",
                    "3|E-2|REQ-1|1|2026-12-07 10:01:10|2026-12-07 10:00:00|0",
                    "4|B|REQ-1|0|2026-12-07 23:00:00|2026-12-07 10:00:00|0"}));
    EXPECT_EQ(rows("SELECT command_info_id, seq_no, package_filename, package_name, package_path "
                   "FROM package_list ORDER BY id"),
              (Rows{"1|1|abc_1.2_armhf.deb|abc|tools", "1|2|def_2.0_armhf.deb|def|pkgs/tools",
                    "2|1|new_3_armhf.deb|new|x", "4|1|abc_1.2_armhf.deb|abc|tools",
                    "4|2|def_2.0_armhf.deb|def|pkgs/tools"}));
    EXPECT_EQ(rows("SELECT command_info_id, seq_no, cancel_command_id, is_cancel FROM "
                   "cancel_cid_list ORDER BY id"),
              (Rows{"2|1|A|0", "2|2|B|1", "3|1|B|1"}));
    // The same command id again supersedes the earlier pending run.
    EXPECT_EQ(rows("SELECT command_info_id, sched_proc_time, proc_status FROM proc_info"),
              (Rows{"1|2026-12-08 23:17:00|5", "2|2026-12-07 10:02:45|0", "3|2026-12-07 10:01:10|0",
                    "4|2026-12-07 23:00:00|0"}));
}

// Orders that get no run: the answer says "failed", names no run time and gives the reason;
// nothing of a job stays in the database.
TEST_F(UpdateTest, NoRunMeansAFailedAnswer) {
    std::string many, deep = request("0", "");  // 1001 entries; nesting past the parser's limit
    for (int i = 0; i <= 1000; ++i) {
        many += "<p>x/p" + std::to_string(i) + "_1_all.deb</p>";
        deep.insert(deep.find("</command_type>") + 15, "<p><p><p><p><p><p><p><p><p><p>");
    }
    // Order; settings, or the fault: a table whose inserts fail, "system", "reader"; status;
    // part of the reason.
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {request("0"), "command_info", -1, "command info"},  // the order cannot be recorded
        // Another program writes while the job is scheduled: its transaction cannot begin, nor
        // the row be updated.
        {request("0"), "writer", -9, "begin transaction"},
        {"not xml", "", -1, "err=-101"},
        {deep, "", -1, "err=-101"},
        {request("0", many), "", -1, "err=-107"},
        {request("1", "<cancel_id_list>" + many + "</cancel_id_list>"), "", -1, "err=-107"},
        {request("0", ""), "", -1, "command_type=0"},
        {request("1", "<cancel_id_list><p></p></cancel_id_list>"), "", -1, "command_type=1"},
        {request("0"), R"("DAY_SPAN": 0)", -1, "start time"},
        {request("0"), R"("TIME_END": "23:00:59")", -1, "start time"},
        {request("1"), R"("EMARG_UPD_END_SEC": 60)", -1, "start time"},
        {request("1"), R"("EMARG_UPD_END_SEC": 30)", -1, "start time"},
        {request("0"), "system", -1, "SystemSettin"},
        {request("0"), "package_list", -2, "package list"},
        {request("1", kPackages + "<cancel_id_list><p>A</p></cancel_id_list>"), "cancel_cid_list",
         -4, "cancel"},
        {request("1"), "proc_info", -6, "proc info"},
    };
    zorcommon::setBusyTimeoutMs(0);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.file("c.db").c_str(), &other), SQLITE_OK);
    for (const auto& [order, setup, rc, detail] : cases) {
        const bool settings = setup[0] == '"';
        configure(settings ? setup : "", setup == "system" ? "<x/>" : kSystem);
        if (!settings && setup.find('_') != std::string::npos) {
            rows("CREATE TRIGGER t BEFORE INSERT ON " + setup +
                 " BEGIN SELECT RAISE(ABORT, ''); END");
        }
        auto cmd = command(order, jst(7, 10, 0));
        if (setup == "writer") {
            cmd->setRandomSource([other](std::time_t, int count) {
                sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
                return std::vector<std::uint32_t>(static_cast<size_t>(count), 0);
            });
        }
        const auto [result, xml] = run(*cmd, rc);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        // The answer, its run time and reason, the order's row, the job's rows.
        EXPECT_EQ(
            result + (xml.find(detail, xml.find(">0</p>")) < xml.npos ? "|" : "|no reason|") +
                rows("SELECT (SELECT res_result FROM command_info ORDER BY id DESC LIMIT 1), "
                     "(SELECT count(*) FROM package_list) + (SELECT count(*) FROM "
                     "cancel_cid_list) + (SELECT count(*) FROM proc_info)")
                    .at(0),
            "failed|" + (setup == "command_info" || rc == -9 ? "NULL" : std::to_string(rc)) + "|0")
            << xml;
        rows("DROP TRIGGER IF EXISTS t");
    }
    sqlite3_close(other);
    zorcommon::setBusyTimeoutMs(-1);
}
