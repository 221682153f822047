// Order dispatch: which texts become executable commands, which orders the receive callback
// spools, what the order thread queues, and the result POST of an update order.
#include <gtest/gtest.h>
#include <httplib.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "Base64.h"
#include "SettingData.h"
#include "TestUtil.h"
#include "cmd_exec_env.h"

// Orders addressed to this terminal (platform PF, group G1, terminal X1) or another one.
static std::string order(const std::string& name, const std::string& terminal = "X1",
                         const std::string& value = "") {
    return R"({"order":{"type":"cmd","indicate":")" + name +
           R"(","target":{"platform":["PF"],"group":["all"],"terminal":[")" + terminal +
           R"("]}},"data":{"value":")" + value + R"("},"timestamp":"2026/12/07 10:00:00"})";
}

// Runs one order on the order thread: how many answers and result POSTs it queued.
static std::string runOrder(const std::string& text) {
    const size_t send = zorcee::pendingSendCount();
    const size_t result = zorcee::pendingResultCount();
    std::mutex sendMutex, resultMutex;
    std::thread(zorcee::executeServerOrderThread, std::ref(sendMutex), std::ref(resultMutex), text)
        .join();
    return std::to_string(zorcee::pendingSendCount() - send) +
           std::to_string(zorcee::pendingResultCount() - result);
}

// The agent is started on settings in a temporary folder against a broker where nothing
// listens (port 1): the start fails at the connection with settings, logger, database and spool
// in place; a connection manager is then attached for the order thread. The logger
// application (port 1 too) is unreachable: forwarded orders are answered "failed".
TEST(CmdExecEnv, DispatchOfOrders) {
    testutil::TempDir dir;
    const auto f = [&](const char* name) { return dir.file(name); };
    testutil::writeFile(f("code.sh"), "#!/bin/sh\necho X1\n", 0755);
    testutil::writeFile(f("group"), "GROUP=G1\n");
    testutil::writeFile(
        f("c"),
        R"({"CMD_SUBSTRATE_CODE": ")" + f("code.sh") + R"(", "FILE_GROUP": ")" + f("group") +
            R"(", "PLATFORM": "PF", "SYSTEM_SETTING_XML_FILE": ")" + f("s.xml") +
            R"(", "LOG": {"LOG_DIR": ")" + f("log") + R"("}, "DATABASE": {"DB_PATH": ")" + f("db") +
            R"("}, "SPOOL_DIR": ")" + f("spool") +
            R"(", "QMT_HTTP": {"RETRY_NUM": 0, "URL": "http://127.0.0.1:1/", "CA_FILE": ")" +
            f("p") + R"("}})");
    testutil::writeFile(f("m"), R"({"BROKER_URI": "tcp://127.0.0.1:1"})");
    setenv("MQTT_IF_CONF", f("m").c_str(), 1);
    zorcee::data::SettingData::destroyInstance();
    spdlog::drop("cee");
    ASSERT_EQ(zorcee::initMain(f("c")), 1);
    std::signal(SIGINT, SIG_DFL);  // the agent's handlers would only set its stop flag
    std::signal(SIGTERM, SIG_DFL);
    zorcee::attachObjects(std::make_unique<zorcee::conn::ConnectionManager>());

    // Which texts become executable commands; only executable orders are run and spooled, each
    // text received as an order of its own.
    const std::string valid = order("Restart");
    const std::string open = valid.substr(0, valid.size() - 1);
    const std::vector<std::pair<std::string, bool>> texts = {
        {valid, true},
        {valid, true},
        {order("UpdateLogger"), true},
        {open, false},
        {order("Restart "), false},
        // Numbers beyond a double: refused, not crashed. (Other terminals and deep nesting are
        // shown end to end.)
        {open + R"(,"x":1e999})", false},
    };
    zorcee::subscribeFunction("cee/order", nullptr);
    for (const auto& t : texts) {
        // Orders spooled, then answers and result POSTs queued by the order thread.
        const size_t held = zorcee::pendingReceiveCount();
        zorcee::subscribeFunction("cee/order", t.first.c_str());
        EXPECT_EQ(std::to_string(zorcee::pendingReceiveCount() - held) + runOrder(t.first),
                  t.second ? "110" : "000")
            << t.first.substr(0, 80);
    }

    // An update order queues its answer and a POST of its response to the result server of
    // SystemSetting.xml (here over HTTPS with a self-signed certificate, pinned in CA_FILE); a
    // result server answering with an error status gets it once.
    const std::string makeCert =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=t -addext subjectAltName=IP:127.0.0.1"
        " -keyout " +
        f("k") + " -out " + f("p") + " 2>/dev/null";
    ASSERT_EQ(std::system(makeCert.c_str()), 0);
    std::vector<std::string> posted;
    httplib::SSLServer server(f("p").c_str(), f("k").c_str());
    server.Post("/r", [&](const httplib::Request& req, httplib::Response& res) {
        posted.push_back(req.body);
        res.status = 500;
    });
    const std::string url =
        "https://127.0.0.1:" + std::to_string(server.bind_to_any_port("127.0.0.1")) + "/r";
    std::thread thread([&] { server.listen_after_bind(); });
    testutil::writeFile(f("s.xml"), R"(<logger loggerId="L" plantId="P"><general><serverUrl>)" +
                                        url + "</serverUrl></general></logger>");
    const std::string request =
        R"(<commandRequest id="R"><requestData><command_type id="C">1)"
        "</command_type><p>x/a_1_all.deb</p></requestData></commandRequest>";
    const std::string value = zorcommon::encodeBase64(
        reinterpret_cast<const unsigned char*>(request.data()), request.size());
    EXPECT_EQ(runOrder(order("UpdateLogger", "X1", value)), "11");
    const auto recorded =
        testutil::queryRows(f("db") + "/cee_pkg_upd.db",
                            "SELECT res_result_str FROM command_info WHERE res_result = 0");
    std::string response;
    EXPECT_EQ(zorcee::sendHttpPost(url, recorded.empty() ? "" : recorded[0], response), 0);
    server.stop();
    thread.join();
    EXPECT_EQ(posted, recorded);

    zorcee::endMain();
    spdlog::drop("cee");
    unsetenv("MQTT_IF_CONF");
}
