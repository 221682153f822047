// Forwarding commands: recording, posting to a local HTTP server, the answer JSON.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <thread>

#include "Base64.h"
#include "CmdInfoXmlCommands.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"

using namespace zorcee::command;

namespace {

std::string b64(const std::string& s) {
    return zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

picojson::value parse(const std::string& text) {
    picojson::value v;
    const std::string err = picojson::parse(v, text);
    EXPECT_TRUE(err.empty()) << err;
    return v;
}

picojson::value order(const std::string& indicate, const std::string& dataMember) {
    return parse(R"({"order":{"type":"cmd","indicate":")" + indicate +
                 R"(","target":{"platform":["all"],"group":["*"],"terminal":["*"],"keep":1}},)" +
                 dataMember + R"("timestamp":"2024/05/01 12:00:00"})");
}

class XmlCmdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.Post("/", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(req.body);
            res.status = status;
            res.set_content(reply, "text/xml");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        configure("http://127.0.0.1:" + std::to_string(port) + "/");
    }
    void TearDown() override {
        server.stop();
        thread.join();
        zorcee::data::SettingData::destroyInstance();
    }
    void configure(const std::string& url) {
        testutil::writeFile(tmp.file("cee.conf"),
                            "{\"CMD_SUBSTRATE_CODE\": \"true\", \"FILE_GROUP\": \"" +
                                tmp.file("group") + "\", \"QMT_HTTP\": {\"URL\": \"" + url +
                                "\", \"RETRY_NUM\": 1, \"RETRY_INTERVAL\": 1}, \"DATABASE\": "
                                "{\"DB_PATH\": \"" +
                                tmp.path() + "\"}}");
        zorcee::data::SettingData::destroyInstance();
        zorcee::data::SettingData::createInstance(tmp.file("cee.conf"));
        zorcee::db::DbController setup;
        ASSERT_EQ(setup.init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }
    std::vector<std::string> rows(const std::string& sql) {
        return testutil::queryRows(tmp.file("cee_pkg_upd.db"), sql);
    }
    template <class Command>
    std::pair<int, picojson::value> run(const picojson::value& in) {
        Command cmd(in);
        zorcee::conn::ConnectionManager cm;
        cmd.setConnectionManager(&cm);
        const int rc = cmd.execCommand();
        return {rc, parse(cmd.getOutputData())};
    }

    testutil::TempDir tmp;
    testutil::CapturedLog log{"cee"};
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::vector<std::string> received;
    int status = 200;
    std::string reply = "<commandResponse><status>SUCCESS</status></commandResponse>";
};

using Rows = std::vector<std::string>;

}  // namespace

TEST_F(XmlCmdTest, ForwardsRecordsAndAnswers) {
    const std::string request =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest "
        "id=\"7\"><command>ReadFromEchonetDevice</command><requestData>"
        "蓄電池</requestData></commandRequest>";
    auto [rc, answer] = run<CmdInfoEcholDevRead>(
        order("ReadFromEchonetDevice", R"("data":{"value":")" + b64(request) + R"("},)"));
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], request);  // byte for byte, non-ASCII included

    const auto& data = answer.get("data");
    EXPECT_EQ(zorcommon::decodeBase64(data.get("value").get<std::string>()), reply);
    EXPECT_EQ(data.get("result").get<std::string>(), "success");
    EXPECT_EQ(answer.get("order").get("target").serialize(), R"({"keep":1})");
    const std::string stamp = answer.get("timestamp").get<std::string>();
    EXPECT_EQ(stamp.size(), 19u);
    EXPECT_NE(stamp, "2024/05/01 12:00:00");

    EXPECT_EQ(rows("SELECT command_json, recv_xml, server_time_str, res_error_str, res_result, "
                   "res_result_str FROM command_info"),
              (Rows{"ReadFromEchonetDevice|" + request + "|2024-05-01 12:00:00||0|" + reply}));
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));
    EXPECT_TRUE(log.contains("I : [CmdInfoEcholDevRead.cpp:"));
    EXPECT_TRUE(log.contains("] in CmdInfoEcholDevRead executable -> true"));
    EXPECT_TRUE(
        log.contains("] in CmdInfoEcholDevRead execCommand : execute result -> success "
                     ": (0)"));
    EXPECT_TRUE(log.contains("] in CmdInfoEcholDevRead execCommand : erase target -> success"));
    EXPECT_TRUE(
        log.contains("] in CmdInfoEcholDevRead execCommand : rewrite timestamp -> "
                     "success"));
}

TEST_F(XmlCmdTest, ErrorStatusAndEmptyAnswerStillSucceed) {
    status = 500;
    reply = "";
    auto [rc, answer] = run<CmdInfoBatReset>(
        order("ResetStorageBattery", R"("data":{"value":"PGEvPg==","result":"x"},)"));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(answer.get("data").serialize(), R"({"result":"x","value":""})");
    EXPECT_EQ(rows("SELECT res_result, res_result_str FROM command_info"), (Rows{"0|"}));
}

TEST_F(XmlCmdTest, UnreachableLoggerApplication) {
    server.stop();
    thread.join();
    thread = std::thread([] {});
    configure("http://127.0.0.1:" + std::to_string(port) + "/");
    auto [rc, answer] =
        run<CmdInfoDispMeasure>(order("GetLatestMeasurementData", R"("data":{"value":"YQ=="},)"));
    EXPECT_EQ(rc, 7);
    EXPECT_EQ(answer.get("data").serialize(), R"({"result":"failed","value":""})");
    EXPECT_EQ(rows("SELECT res_error_str, res_result, res_result_str FROM command_info"),
              (Rows{"8082 port send error.|7|"}));
    EXPECT_TRUE(log.contains("W : [CmdInfoBaseXmlCmd.cpp:"));
    EXPECT_TRUE(log.contains("] in CmdInfoDispMeasure execCommand : result str -> not set"));
}

TEST_F(XmlCmdTest, LockPresentOrderWithoutDataOrTimestamp) {
    testutil::writeFile(tmp.file("db_cee.lock"), "");
    auto [rc, answer] = run<CmdInfoNwReset>(
        parse(R"({"order":{"type":"cmd","indicate":"nwreset","target":{"platform":["all"]}}})"));
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], "");  // empty body posted
    EXPECT_TRUE(answer.get("data").is<picojson::null>());
    EXPECT_TRUE(answer.get("timestamp").is<picojson::null>());
    EXPECT_EQ(answer.get("order").get("target").serialize(), "{}");
    EXPECT_EQ(rows("SELECT count(*) FROM command_info"), (Rows{"0"}));
    EXPECT_FALSE(testutil::exists(tmp.file("db_cee.lock")));  // close removes it anyway
    EXPECT_TRUE(log.contains("] in CmdInfoNwReset execute true"));
    EXPECT_TRUE(log.contains("] in CmdInfoNwReset execCommand : failed to open database"));
    EXPECT_TRUE(log.contains("] in CmdInfoNwReset execCommand : rewrite timestamp -> failed"));
}

TEST_F(XmlCmdTest, CatalogueIdentities) {
    const picojson::value empty = parse("{}");
    struct Expect {
        std::unique_ptr<CmdInfoBaseXmlCmd> cmd;
        const char* name;
        const char* label;
    };
    Expect all[] = {
        {std::make_unique<CmdInfoReboot>(empty), "Restart", "CmdInfoReboot"},
        {std::make_unique<CmdInfoLossNew>(empty), "GetMeasurementData", "CmdInfoLossNew"},
        {std::make_unique<CmdInfoSendDevice>(empty), "SendDeviceCommand", "CmdInfoSendDevice"},
        {std::make_unique<CmdInfoFileGet>(empty), "SaveFile", "CmdInfoFileGet"},
        {std::make_unique<CmdInfoFileSend>(empty), "UploadFile", "CmdInfoFileSend"},
        {std::make_unique<CmdInfoLogSend>(empty), "UploadNormalLog", "CmdInfoLogSend"},
        {std::make_unique<CmdInfoEcholDevWrite>(empty), "WriteToEchonetDevice",
         "WriteToEchonetDevice"},
        {std::make_unique<CmdInfoEcholDevReadList>(empty), "ReadListFromEchonetDevice",
         "CmdInfoEcholDevReadList"},
        {std::make_unique<CmdInfoOutputCtrlPlantIdCheck>(empty),
         "OutputControlPlantIdCheckForLogger", "CmdInfoOutputCtrlPlantIdCheck"},
        {std::make_unique<CmdInfoTransferOutputCtrlSched>(empty), "TransferOutputControlSchedule",
         "CmdInfoTransferOutputCtrlSched"},
    };
    for (const auto& e : all) {
        EXPECT_EQ(e.cmd->getName(), e.name);
        EXPECT_EQ(e.cmd->getClassName(), e.label);
        EXPECT_FALSE(e.cmd->getDescription().empty());
        EXPECT_TRUE(e.cmd->isExecutable() && e.cmd->hasOutput() && e.cmd->isUseConnectionManager());
        EXPECT_FALSE(e.cmd->isSendResult());
    }
    EXPECT_EQ(all[0].cmd->getDescription(), "ロガー再起動指示");
    EXPECT_TRUE(log.contains("I : [CmdInfoEcholDevWrite.cpp:"));
    EXPECT_TRUE(log.contains("] in WriteToEchonetDevice executable -> true"));
    EXPECT_TRUE(log.contains("] in CmdInfoFileGet execute true"));

    // A 34-character name is stored whole.
    run<CmdInfoOutputCtrlPlantIdCheck>(
        order("OutputControlPlantIdCheckForLogger", R"("data":{"value":"YQ=="},)"));
    EXPECT_EQ(rows("SELECT command_json FROM command_info"),
              (Rows{"OutputControlPlantIdCheckForLogger"}));
}
