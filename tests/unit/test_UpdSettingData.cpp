// The updater's settings (cee_upd.conf) and the HTTP settings its connection manager takes
// from them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "updater/communication/ConnectionManagerUpd.h"
#include "updater/data/SettingData.h"

using zorupd::conn::ConnectionManagerUpd;
using zorupd::data::SettingData;

namespace {

// Keeps the settings singleton to the test that made it.
class UpdSingleton : public ::testing::Test {
  protected:
    void TearDown() override { SettingData::destroyInstance(); }
    testutil::TempDir tmp;
};

// A loopback port that completes the TCP handshake but never answers.
class SilentListener {
  public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(fd_, 8);
    }
    ~SilentListener() { ::close(fd_); }
    int port = 0;

  private:
    int fd_ = -1;
};

// A loopback port that nothing listens on.
int refusedPort() {
    SilentListener closed;
    return closed.port;  // closed again on return
}

}  // namespace

TEST(UpdSettingData, DefaultsWithoutFile) {
    testing::internal::CaptureStderr();
    SettingData s("/nonexistent/cee_upd.conf");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "failed to read setting file : /nonexistent/cee_upd.conf\n");

    const std::pair<const char*, const char*> strings[] = {
        {"SYSTEM_SETTING_XML_FILE", "/usr/local/etc/kestrelwood/SettingsXML/SystemSetting.xml"},
        {"PING_SERVER", "cee-server"},
        {"LOG_DIR", "/var/local/zorlog"},
        {"LOG_FILE", "cee_upd.log"},
        {"LIST_FILE_PATH", "/usr/local/zorupdate"},
        {"LIST_PRE_NAME", "update_list_"},
        {"UPDATE_LOG_DIR", "/var/local/update_log"},
        {"UPDATE_LOG_PRE_NAME", "update.log"},
        {"CANCEL_LOG_PRE_NAME", "cancel.log"},
        {"UPDATE_CMD_LINE", "/usr/local/zorcee/package_updater"},
        {"PKG_DIR", "/var/local/update_packages"},
        {"RESULT_DIR", "/var/tmp"},
        {"RESULT_FILE", "logger_reboot"},
        {"RESULT_FAIL_FILE", "update_failed"},
        {"REBOOT_COMMAND", "/usr/local/zorcee/update_finish.sh"},
        {"PKG_FOR_CONN_CHK", "tusk-batfw"},
        {"DB_PATH", "/var/local/zorcee"},
        {"DB_FILE", "cee_pkg_upd.db"},
        {"LOCK_CEE", "db_cee.lock"},
        {"LOCK_UPD", "db_upd.lock"},
        {"URL", "http://localhost:8082/"},
    };
    for (const auto& [key, value] : strings) {
        EXPECT_EQ(s.getStringValue(key), value) << key;
        EXPECT_EQ(s.getIntValue(key), INT_MIN) << key;
    }
    const std::pair<const char*, int> ints[] = {
        {"PING_NUM", 1},
        {"LOG_MAX_BYTES", 100000},
        {"LOG_COUNTS", 5},
        {"UPD_RETRY_INTERVAL", 120},
        {"UPD_RETRY_NUM", 5},
        {"RETRY_NUM", 3},
        {"RETRY_INTERVAL", 3000000},
        {"CURL_TIMEOUT", 20},
        {"CURL_CONNECT_TIMEOUT", 90},
        {"MAX_ANSWER_BYTES", 33554432},
    };
    for (const auto& [key, value] : ints) {
        EXPECT_EQ(s.getIntValue(key), value) << key;
        EXPECT_EQ(s.getStringValue(key), "") << key;
    }
    // Section names and GROUP are known names that no getter answers.
    for (const char* key : {"ALIVE_CHECK", "LOG", "PKG_UPDATE", "UPDATE_RETRY", "DATABASE",
                            "QMT_HTTP", "GROUP", "CMD_SUBSTRATE_CODE"}) {
        EXPECT_EQ(s.getStringValue(key), "") << key;
        EXPECT_EQ(s.getIntValue(key), INT_MIN) << key;
    }
    EXPECT_EQ(std::string(SettingData::kKeyNames.front()), "SYSTEM_SETTING_XML_FILE");
    EXPECT_EQ(std::string(SettingData::kKeyNames.back()), "GROUP");
}

TEST(UpdSettingData, FileValuesAndTypeRules) {
    testutil::TempDir tmp;
    testutil::writeFile(tmp.file("cee_upd.conf"), R"({
        "SYSTEM_SETTING_XML_FILE": "/x/SystemSetting.xml",
        "ALIVE_CHECK": {"PING_SERVER": "192.0.2.7", "PING_NUM": 3},
        "LOG": {"LOG_MAX_BYTES": 2048.9, "LOG_COUNTS": "7", "LOG_FILE": 12},
        "PKG_UPDATE": {"REBOOT_COMMAND": "/x/finish.sh", "PKG_DIR": "/x/pkg"},
        "UPDATE_RETRY": {"UPD_RETRY_INTERVAL": 30, "UPD_RETRY_NUM": "9"},
        "DATABASE": {"DB_PATH": "/x/db", "LOCK_UPD": "u.lock"},
        "QMT_HTTP": {"RETRY_INTERVAL": 500, "RETRY_NUM": -1.5, "CURL_TIMEOUT": 1e12},
        "GROUP": "ignored", "PING_SERVER": "top-level is not the section"
    })");
    SettingData s(tmp.file("cee_upd.conf"));
    EXPECT_EQ(s.getStringValue("SYSTEM_SETTING_XML_FILE"), "/x/SystemSetting.xml");
    EXPECT_EQ(s.getStringValue("PING_SERVER"), "192.0.2.7");
    EXPECT_EQ(s.getIntValue("PING_NUM"), 3);  // kept, though the check always pings once
    EXPECT_EQ(s.getIntValue("LOG_MAX_BYTES"), 2048);
    EXPECT_EQ(s.getIntValue("LOG_COUNTS"), 5);
    EXPECT_EQ(s.getStringValue("LOG_FILE"), "cee_upd.log");
    EXPECT_EQ(s.getStringValue("REBOOT_COMMAND"), "/x/finish.sh");
    EXPECT_EQ(s.getStringValue("PKG_DIR"), "/x/pkg");
    EXPECT_EQ(s.getStringValue("RESULT_DIR"), "/var/tmp");
    EXPECT_EQ(s.getIntValue("UPD_RETRY_INTERVAL"), 30);
    EXPECT_EQ(s.getIntValue("UPD_RETRY_NUM"), 5);  // a string keeps the default
    EXPECT_EQ(s.getStringValue("DB_PATH"), "/x/db");
    EXPECT_EQ(s.getStringValue("LOCK_UPD"), "u.lock");
    EXPECT_EQ(s.getStringValue("LOCK_CEE"), "db_cee.lock");
    EXPECT_EQ(s.getIntValue("RETRY_INTERVAL"), 500000);  // milliseconds held as µs
    EXPECT_EQ(s.getIntValue("RETRY_NUM"), -1);
    EXPECT_EQ(s.getIntValue("CURL_TIMEOUT"), INT_MAX);
    EXPECT_EQ(s.getStringValue("GROUP"), "");
}

TEST(UpdSettingData, BrokenFilesKeepDefaults) {
    testutil::TempDir tmp;
    testutil::writeFile(tmp.file("syntax.conf"), "{\"LOG\": {\"LOG_DIR\": \"/x\"\n");
    testing::internal::CaptureStderr();
    SettingData broken(tmp.file("syntax.conf"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("syntax error at line", 0), 0u) << err;
    EXPECT_EQ(broken.getStringValue("LOG_DIR"), "/var/local/zorlog");

    // Parses, but neither the top level nor a section is an object where it should be.
    testutil::writeFile(tmp.file("array.conf"), "[1, 2]");
    SettingData array(tmp.file("array.conf"));
    EXPECT_EQ(array.getIntValue("UPD_RETRY_NUM"), 5);
    testutil::writeFile(tmp.file("sections.conf"),
                        R"({"ALIVE_CHECK": "127.0.0.1", "QMT_HTTP": [1]})");
    SettingData sections(tmp.file("sections.conf"));
    EXPECT_EQ(sections.getStringValue("PING_SERVER"), "cee-server");
    EXPECT_EQ(sections.getIntValue("RETRY_NUM"), 3);
}

// Tens of thousands of open brackets and numbers beyond a double take the syntax-error path:
// one message on standard error, every default kept, no crash.
TEST(UpdSettingData, DeeplyNestedOrOverflowingFilesKeepDefaults) {
    testutil::TempDir tmp;
    const std::string deep(200000, '[');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {deep, "syntax error at line 1 near: "},
        {"{\"ALIVE_CHECK\": {\"PING_SERVER\": " + deep, "syntax error at line 1 near: "},
        {"{\"DATABASE\": " + std::string(100000, '{'), "syntax error at line 1 near: "},
        {"{\"ALIVE_CHECK\": {\"PING_SERVER\": \"h\", \"PING_NUM\": 1e400}}",
         "syntax error: number out of range\n"},
    };
    for (const auto& c : cases) {
        testutil::writeFile(tmp.file("cee_upd.conf"), c.first);
        testing::internal::CaptureStderr();
        try {
            SettingData s(tmp.file("cee_upd.conf"));
            EXPECT_EQ(s.getStringValue("PING_SERVER"), "cee-server");
            EXPECT_EQ(s.getIntValue("PING_NUM"), 1);
            EXPECT_EQ(s.getStringValue("DB_FILE"), "cee_pkg_upd.db");
        } catch (const std::exception&) {
            ADD_FAILURE() << "the loader threw on " << c.first.substr(0, 60);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(c.second, 0), 0u) << err.substr(0, 80);
    }
}

TEST_F(UpdSingleton, SingletonIsCreatedOnce) {
    EXPECT_EQ(SettingData::getInstance(), nullptr);
    testutil::writeFile(tmp.file("a.conf"), R"({"ALIVE_CHECK": {"PING_SERVER": "a"}})");
    testutil::writeFile(tmp.file("b.conf"), R"({"ALIVE_CHECK": {"PING_SERVER": "b"}})");
    SettingData::createInstance(tmp.file("a.conf"));
    SettingData::createInstance(tmp.file("b.conf"));  // no effect: one exists
    ASSERT_NE(SettingData::getInstance(), nullptr);
    EXPECT_EQ(SettingData::getInstance()->getStringValue("PING_SERVER"), "a");
    SettingData::destroyInstance();
    EXPECT_EQ(SettingData::getInstance(), nullptr);
}

TEST_F(UpdSingleton, HttpSettingsComeFromTheUpdaterFile) {
    // Without settings: the updater's own time-outs and keep-alive.
    auto http = ConnectionManagerUpd::httpSettings();
    EXPECT_EQ(http.timeoutSec, 20);
    EXPECT_EQ(http.connectTimeoutSec, 90);
    EXPECT_EQ(http.tcpKeepAlive, 1);
    EXPECT_EQ(http.retryNum, 3);
    EXPECT_EQ(http.retryIntervalUs, 3000000);
    EXPECT_EQ(http.maxAnswerBytes, 33554432);

    testutil::writeFile(tmp.file("cee_upd.conf"),
                        R"({"QMT_HTTP": {"RETRY_NUM": 2, "RETRY_INTERVAL": 500,
                             "CURL_TIMEOUT": 4, "CURL_CONNECT_TIMEOUT": 3,
                             "MAX_ANSWER_BYTES": 4096}})");
    SettingData::createInstance(tmp.file("cee_upd.conf"));
    http = ConnectionManagerUpd::httpSettings();
    EXPECT_EQ(http.retryNum, 2);
    EXPECT_EQ(http.retryIntervalUs, 500000);
    EXPECT_EQ(http.timeoutSec, 4);
    EXPECT_EQ(http.connectTimeoutSec, 3);
    EXPECT_EQ(http.tcpKeepAlive, 1);
    EXPECT_EQ(http.maxAnswerBytes, 4096);
}

TEST_F(UpdSingleton, PostRetriesPauseHalfASecondAndNameTheUpdaterUnit) {
    testutil::CapturedLog log("upd");
    testutil::writeFile(tmp.file("cee_upd.conf"),
                        R"({"QMT_HTTP": {"RETRY_NUM": 1, "RETRY_INTERVAL": 500}})");
    SettingData::createInstance(tmp.file("cee_upd.conf"));
    ConnectionManagerUpd manager;
    EXPECT_TRUE(log.contains("I : [ConnectionManagerUpd.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("] in ConnectionManager\n")) << log.text();

    const auto url = "http://127.0.0.1:" + std::to_string(refusedPort()) + "/";
    std::string response;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.httpSendPost(url, "<x/>", response), 7);  // connection refused
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Two attempts with one pause of RETRY_INTERVAL between them.
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    const std::string text = log.text();
    EXPECT_NE(text.find("W : [ConnectionManagerUpd.cpp:"), std::string::npos) << text;
    EXPECT_NE(text.find("] in http_access : failed to access url : Retry remaining -> 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("] in http_access : failed to access url : Retry remaining -> 0\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Retry remaining -> 2"), std::string::npos) << text;
}

TEST_F(UpdSingleton, TransferTimeOutEndsASilentPeer) {
    testutil::CapturedLog log("upd");
    testutil::writeFile(tmp.file("cee_upd.conf"),
                        R"({"QMT_HTTP": {"RETRY_NUM": 0, "CURL_TIMEOUT": 1}})");
    SettingData::createInstance(tmp.file("cee_upd.conf"));
    ConnectionManagerUpd manager;
    SilentListener silent;
    std::string response;
    // CURLE_OPERATION_TIMEDOUT: the transfer limit applies, not libcurl's default of none.
    EXPECT_EQ(manager.httpSendPost("http://127.0.0.1:" + std::to_string(silent.port) + "/", "<x/>",
                                   response),
              28);
}
