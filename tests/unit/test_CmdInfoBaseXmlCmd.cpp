// Forwarding commands against a local stand-in of the logger application: the request it
// receives, the answer the user gets and the order's row.
#include <gtest/gtest.h>
#include <httplib.h>

#include <ctime>
#include <thread>

#include "Base64.h"
#include "CmdInfoXmlCommands.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"

// The answer: data.value is the logger application's answer, data.result whether it came (an
// existing result stays; an answer above MAX_ANSWER_BYTES counts as none), the target without
// this terminal's addressing, the current UTC time; bytes of the order that are not UTF-8
// become U+FFFD. The request is forwarded byte for byte.
TEST(XmlCmd, RequestAnswerAndRow) {
    int status = 200;
    std::string reply;
    std::vector<std::string> received;
    httplib::Server server;
    server.Post("/", [&](const httplib::Request& req, httplib::Response& res) {
        received.push_back(req.body);
        EXPECT_EQ(req.get_header_value("Content-Type"), "text/xml");
        res.status = status;
        res.set_content(reply, "text/xml");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    testutil::TempDir tmp;

    const std::string request = "<commandRequest id=\"7\">\xe8\x93\x84\xff\xfe</commandRequest>";
    const std::string value = zorcommon::encodeBase64(
        reinterpret_cast<const unsigned char*>(request.data()), request.size());
    testutil::writeFile(
        tmp.file("c"), R"({"QMT_HTTP": {"RETRY_NUM": 0, "MAX_ANSWER_BYTES": 20, )"
                       R"("URL": "http://127.0.0.1:)" +
                           std::to_string(port) + R"(/"}, "DATABASE": {"DB_PATH": ")" + tmp.path() +
                           R"("}, "CMD_SUBSTRATE_CODE": "true", "FILE_GROUP": ""})");
    zorcee::data::SettingData::destroyInstance();
    zorcee::data::SettingData::createInstance(tmp.file("c"));
    ASSERT_EQ(zorcee::db::DbController().init(tmp.path(), "cee_pkg_upd.db", "db_cee.lock", "u"), 0);
    // Status and answer of the stand-in, the order's data, status, then the request received ;
    // the answer's data.result, data.value ; the row.
    const std::tuple<int, std::string, std::string, int, std::string> cases[] = {
        {200, "<ok>\xe8\x93\x84</ok>", R"({"value":")" + value + "\"}", 0,
         request + " ; success <ok>\xe8\x93\x84</ok> ; " + request + "|0|<ok>\xe8\x93\x84</ok>"},
        // A result the order brought along is replaced on every path.
        {500, "", R"({"value":"PGEvPg==","result":"x"})", 0, "<a/> ; success  ; <a/>|0|"},
        {200, std::string(21, 'x'), R"({"value":"PGEvPg=="})", 63, "<a/> ; failed  ; <a/>|63|"},
        // The logger application is gone.
        {0, "", R"({"result":"success","value":")" + value + "\"}", 7,
         " ; failed  ; " + request + "|7|"},
    };
    for (const auto& [peerStatus, peerReply, data, rc, outcome] : cases) {
        status = peerStatus;
        reply = peerReply;
        received.clear();
        if (status == 0) {
            server.stop();
            thread.join();
        }
        picojson::value order;
        picojson::parse(order, R"({"order":{"indicate":"x","target":{"platform":["all"],)"
                               R"("group":["*"],"terminal":["*"],"keep":1}},"data":)" +
                                   data +
                                   ",\"timestamp\":\"2000/01/01 00:00:00\",\"n\":\"a\xff"
                                   "b\xc3(c\"}");
        zorcee::command::CmdInfoEcholDevRead cmd(order);
        zorcee::conn::ConnectionManager cm;
        cmd.setConnectionManager(&cm);
        EXPECT_EQ(cmd.execCommand(), rc) << outcome;

        picojson::value answer;
        picojson::parse(answer, cmd.getOutputData());
        const auto& answered = answer.get("data");
        EXPECT_EQ((received.size() == 1 ? received[0] : "") + " ; " +
                      answered.get("result").to_str() + " " +
                      zorcommon::decodeBase64(answered.get("value").to_str()) + " ; " +
                      testutil::queryRows(tmp.file("cee_pkg_upd.db"),
                                          "SELECT recv_xml, res_result, res_result_str FROM "
                                          "command_info ORDER BY id DESC LIMIT 1")
                          .at(0),
                  outcome);
        EXPECT_EQ(answer.get("order").serialize(), R"({"indicate":"x","target":{"keep":1}})");
        EXPECT_EQ(answer.get("n").to_str(),
                  "a\xef\xbf\xbd"
                  "b\xef\xbf\xbd(c");
        std::tm tm{};
        const std::string stamp = answer.get("timestamp").to_str();
        EXPECT_NE(strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << stamp;
        EXPECT_LE(std::abs(timegm(&tm) - std::time(nullptr)), 60) << stamp;
    }
    zorcee::data::SettingData::destroyInstance();
}
