// Order dispatch: the receive callback, building the command object from an order text and the
// order thread's handling of orders that cannot be executed.
//
// The agent core writes through the logger that start-up creates, so the suite starts the agent
// once on settings in a temporary folder, against a broker address where nothing listens. The
// connection fails, but the settings, the log file and the logger are in place; the lines are
// read back from that log file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SettingData.h"
#include "TestUtil.h"
#include "cmd_exec_env.h"

namespace {

// A local port with nothing listening on it.
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

const std::string kEnv = "[cmd_exec_env.cpp] ";
const std::string kBase = "[CmdInfoBase.cpp] ";

class CmdExecEnvTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testutil::TempDir;
        testutil::writeFile(dir_->file("code.sh"), "#!/bin/sh\necho X1\n", 0755);
        testutil::writeFile(dir_->file("group"), "GROUP=G1\n");
        testutil::writeFile(
            dir_->file("cee.conf"),
            "{\"CMD_SUBSTRATE_CODE\": \"" + dir_->file("code.sh") + "\", \"FILE_GROUP\": \"" +
                dir_->file("group") + "\", \"PLATFORM\": \"PF\", \"SYSTEM_SETTING_XML_FILE\": \"" +
                dir_->file("SystemSetting.xml") + "\", \"LOG\": {\"LOG_DIR\": \"" +
                dir_->file("log") +
                "\", \"LOG_FILE\": \"cee.log\", \"LOG_MAX_BYTES\": 50000000, \"LOG_COUNTS\": 1}, "
                "\"DATABASE\": {\"DB_PATH\": \"" +
                dir_->file("db") + "\"}, \"SPOOL_DIR\": \"" + dir_->file("spool") + "\"}");
        testutil::writeFile(dir_->file("mqtt_if.conf"),
                            "{\"BROKER_URI\": \"tcp://127.0.0.1:" + std::to_string(closedPort()) +
                                "\", \"CONNECT_TIMEOUT_S\": 5, \"PERSISTENCE_DIR\": \"\"}");
        const char* oldConf = std::getenv("MQTT_IF_CONF");
        hadMqttConf_ = oldConf != nullptr;
        oldMqttConf_ = hadMqttConf_ ? oldConf : "";
        setenv("MQTT_IF_CONF", dir_->file("mqtt_if.conf").c_str(), 1);

        // Settings left behind by another suite would point the log elsewhere.
        zorcee::data::SettingData::destroyInstance();
        zorcee::initMain(dir_->file("cee.conf"));
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        fileLog_ = spdlog::get("cee");
        if (fileLog_) {
            fileLog_->set_level(spdlog::level::debug);
        }
    }

    static void TearDownTestSuite() {
        zorcee::endMain();
        spdlog::drop("cee");
        fileLog_.reset();
        if (hadMqttConf_) {
            setenv("MQTT_IF_CONF", oldMqttConf_.c_str(), 1);
        } else {
            unsetenv("MQTT_IF_CONF");
        }
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(fileLog_) << "agent start-up created no logger";
        ASSERT_NE(zorcee::data::SettingData::getInstance(), nullptr);
        // Command objects take the logger from the registry; another suite may have replaced it.
        if (spdlog::get("cee") != fileLog_) {
            spdlog::drop("cee");
            spdlog::register_logger(fileLog_);
        }
        fileLog_->flush();
        offset_ = testutil::readFile(logPath()).size();
    }

    static std::string logPath() { return dir_->file("log") + "/cee.log"; }

    // Lines written since SetUp, without time and source line: "W : [cmd_exec_env.cpp] in ...".
    std::vector<std::string> newLines() const {
        static const std::regex prefix(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\w) : \[([^:\]]+):\d+\](.*)$)");
        fileLog_->flush();
        std::istringstream in(testutil::readFile(logPath()).substr(offset_));
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(std::regex_replace(line, prefix, "$1 : [$2]$3"));
        }
        return out;
    }
    void skipWritten() { offset_ = (fileLog_->flush(), testutil::readFile(logPath()).size()); }
    bool mentions(const std::string& text) const {
        for (const auto& line : newLines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    static testutil::TempDir* dir_;
    static std::shared_ptr<spdlog::logger> fileLog_;
    static bool hadMqttConf_;
    static std::string oldMqttConf_;
    size_t offset_ = 0;
};

testutil::TempDir* CmdExecEnvTest::dir_ = nullptr;
std::shared_ptr<spdlog::logger> CmdExecEnvTest::fileLog_;
bool CmdExecEnvTest::hadMqttConf_ = false;
std::string CmdExecEnvTest::oldMqttConf_;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST_F(CmdExecEnvTest, TextThatIsNotJsonGivesThePlainObject) {
    for (const std::string text : {"not json", R"({"order":{"type":"cmd")", ""}) {
        skipWritten();
        const auto cmd = zorcee::CreateCmdInfoObj(text);
        ASSERT_NE(cmd, nullptr) << text;
        EXPECT_EQ(cmd->getName(), "base") << text;
        EXPECT_FALSE(cmd->isExecutable()) << text;
        EXPECT_FALSE(cmd->hasOutput()) << text;

        const auto lines = newLines();
        ASSERT_EQ(lines.size(), 3u) << text;
        EXPECT_EQ(lines[0], "I : " + kEnv + "in CreateCmdInfoObj");
        EXPECT_TRUE(startsWith(lines[1], "W : " + kEnv +
                                             "in CreateCmdInfoObj : json parse error : syntax "
                                             "error at line 1 near: "))
            << lines[1];
        EXPECT_EQ(lines[2], "I : " + kBase + "in CmdInfoBase");
    }
}

TEST_F(CmdExecEnvTest, UnusableOrderMemberIsAnErrorThenNotFound) {
    const std::vector<std::string> orders = {
        R"({"order":"cmd"})",
        R"({"data":{"value":"QUJD"},"timestamp":"2024/05/06 07:08:09"})",
        R"([{"order":{"type":"cmd","indicate":"Restart"}}])",
        R"({"order":{"type":["cmd"],"indicate":"Restart"}})",
        R"({"order":{"type":"cmd","indicate":7}})",
    };
    for (const auto& text : orders) {
        skipWritten();
        const auto cmd = zorcee::CreateCmdInfoObj(text);
        ASSERT_NE(cmd, nullptr) << text;
        EXPECT_EQ(cmd->getName(), "base") << text;
        EXPECT_FALSE(cmd->isExecutable()) << text;
        // The object still carries the whole order.
        EXPECT_EQ(cmd->getOrderJson().serialize(), [&] {
            picojson::value v;
            picojson::parse(v, text);
            return v.serialize();
        }()) << text;

        const auto lines = newLines();
        ASSERT_EQ(lines.size(), 4u) << text;
        EXPECT_EQ(lines[0], "I : " + kEnv + "in CreateCmdInfoObj");
        const std::string error = "E : " + kEnv + "in CreateCmdInfoObj : json parse error -> ";
        EXPECT_TRUE(startsWith(lines[1], error) && lines[1].size() > error.size()) << lines[1];
        EXPECT_EQ(lines[2], "W : " + kEnv + "in CreateCmdInfoObj : command not found");
        EXPECT_EQ(lines[3], "I : " + kBase + "in CmdInfoBase");
    }
}

TEST_F(CmdExecEnvTest, CommandNamesAreComparedExactly) {
    for (const std::string name : {"NwReset", "restart", "updatelogger", "Restart ", "NoSuchCmd"}) {
        skipWritten();
        const auto cmd =
            zorcee::CreateCmdInfoObj(R"({"order":{"type":"cmd","indicate":")" + name + R"("}})");
        EXPECT_EQ(cmd->getName(), "base") << name;
        EXPECT_FALSE(cmd->isExecutable()) << name;
        const std::vector<std::string> expected = {
            "I : " + kEnv + "in CreateCmdInfoObj",
            "W : " + kEnv + "in CreateCmdInfoObj : command not found : indicate -> " + name,
            "W : " + kEnv + "in CreateCmdInfoObj : command not found",
            "I : " + kBase + "in CmdInfoBase",
        };
        EXPECT_EQ(newLines(), expected);
    }

    // Not a command order, or one without a name: only "command not found".
    const std::vector<std::string> notCommands = {
        R"({"order":{"type":"CMD","indicate":"Restart"}})",
        R"({"order":{"type":"cmd "}})",
        R"({"order":{"indicate":"Restart"}})",
        R"({"order":{}})",
    };
    for (const auto& text : notCommands) {
        skipWritten();
        const auto cmd = zorcee::CreateCmdInfoObj(text);
        EXPECT_FALSE(cmd->isExecutable()) << text;
        const std::vector<std::string> expected = {
            "I : " + kEnv + "in CreateCmdInfoObj",
            "W : " + kEnv + "in CreateCmdInfoObj : command not found",
            "I : " + kBase + "in CmdInfoBase",
        };
        EXPECT_EQ(newLines(), expected) << text;
    }
}

TEST_F(CmdExecEnvTest, OrderThatCannotBeExecutedQueuesNothing) {
    const std::vector<std::string> orders = {
        "garbage",
        R"({"order":{"type":"cmd","indicate":"NoSuchCmd","target":{"platform":["all"],)"
        R"("group":["all"],"terminal":["all"]}},"data":{"value":"QUJD"},"timestamp":"t"})",
    };
    for (const auto& text : orders) {
        const size_t sendBefore = zorcee::pendingSendCount();
        const size_t resultBefore = zorcee::pendingResultCount();
        std::mutex sendMutex;
        std::mutex resultMutex;
        skipWritten();
        std::thread worker(zorcee::executeServerOrderThread, std::ref(sendMutex),
                           std::ref(resultMutex), text);
        worker.join();

        const auto lines = newLines();
        ASSERT_GE(lines.size(), 3u) << text;
        EXPECT_EQ(lines.front(), "I : " + kEnv + "in executeServerOrderThread");
        EXPECT_EQ(lines[lines.size() - 2], "I : " + kEnv + "in executeServerOrder : name -> base");
        EXPECT_EQ(lines.back(),
                  "W : " + kEnv + "in executeServerOrder : no execution command : name -> base");
        EXPECT_FALSE(mentions("check execute target")) << text;
        EXPECT_FALSE(mentions("in execCommand")) << text;
        EXPECT_EQ(zorcee::pendingSendCount(), sendBefore) << text;
        EXPECT_EQ(zorcee::pendingResultCount(), resultBefore) << text;
        // Neither queue lock is left held.
        EXPECT_TRUE(sendMutex.try_lock());
        EXPECT_TRUE(resultMutex.try_lock());
        sendMutex.unlock();
        resultMutex.unlock();
    }
}

// Orders the parser refuses take the parse-error path, on their own and through the order
// thread: tens of thousands of open brackets (the parser's nesting limit, without which the
// recursion would overflow the stack) and numbers beyond the range of a double.
TEST_F(CmdExecEnvTest, DeeplyNestedOrOverflowingOrderIsAParseError) {
    const std::string deep(200000, '[');
    const std::string restart =
        R"({"order":{"type":"cmd","indicate":"Restart","target":{"platform":["all"],)"
        R"("group":["all"],"terminal":["all"]}},"data":{"value":"QUJD"},"timestamp":"t")";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {deep, "syntax error at line 1 near: [[["},
        {restart + R"(,"x":)" + deep + "}", "syntax error at line 1 near: [[["},
        {restart + R"(,"x":)" + std::string(100000, '{'), "syntax error at line 1 near: "},
        {restart + R"(,"x":1e999})", "syntax error: number out of range"},
        {R"({"order":{"type":"cmd","indicate":"Restart","n":-1e400}})",
         "syntax error: number out of range"},
    };
    // The log text written since the last skipWritten(); no line-wise regex on lines this long.
    const auto written = [this] {
        fileLog_->flush();
        return testutil::readFile(logPath()).substr(offset_);
    };
    for (const auto& c : cases) {
        const std::string shown = c.first.substr(0, 60);
        skipWritten();
        std::unique_ptr<zorcee::command::CmdInfoBase> cmd;
        try {
            cmd = zorcee::CreateCmdInfoObj(c.first);
        } catch (const std::exception&) {
            ADD_FAILURE() << "CreateCmdInfoObj threw for " << shown;
            continue;
        }
        ASSERT_NE(cmd, nullptr) << shown;
        EXPECT_EQ(cmd->getName(), "base") << shown;
        EXPECT_FALSE(cmd->isExecutable()) << shown;
        const std::string log = written();
        EXPECT_NE(log.find(" W : [cmd_exec_env.cpp:"), std::string::npos) << shown;
        EXPECT_NE(log.find("] in CreateCmdInfoObj : json parse error : " + c.second),
                  std::string::npos)
            << shown;
        EXPECT_EQ(log.find("command not found"), std::string::npos) << shown;

        const size_t sendBefore = zorcee::pendingSendCount();
        std::mutex sendMutex;
        std::mutex resultMutex;
        skipWritten();
        std::thread worker(zorcee::executeServerOrderThread, std::ref(sendMutex),
                           std::ref(resultMutex), c.first);
        worker.join();
        const std::string threadLog = written();
        EXPECT_NE(threadLog.find("] in executeServerOrder : no execution command : name -> base"),
                  std::string::npos)
            << shown;
        EXPECT_EQ(threadLog.find("unexpected error"), std::string::npos) << shown;
        EXPECT_EQ(zorcee::pendingSendCount(), sendBefore) << shown;
    }
}

TEST_F(CmdExecEnvTest, SubscribeSpoolsOnlyThisTerminalsOrders) {
    const size_t before = zorcee::pendingReceiveCount();
    zorcee::subscribeFunction("cee/order", "");
    EXPECT_EQ(newLines(),
              std::vector<std::string>{"I : " + kEnv +
                                       "in subscribeFunction : Subscribe : topic -> cee/order : "
                                       "message -> "});
    zorcee::subscribeFunction("cee/order", nullptr);
    zorcee::subscribeFunction(nullptr, nullptr);
    // Not executable, or for another terminal: settled at once, never spooled.
    zorcee::subscribeFunction("cee/order", R"({"order":{"type":"cmd","indicate":"Restart"}})");
    zorcee::subscribeFunction("cee/order", R"({"order":{"type":"cmd","indicate":"NoSuch"}})");
    EXPECT_EQ(zorcee::pendingReceiveCount(), before);
    EXPECT_FALSE(mentions("add Receive Queue"));
    EXPECT_TRUE(mentions("in executeServerOrder : not execute target command"));
    EXPECT_TRUE(mentions("in executeServerOrder : no execution command : name -> base"));

    const std::string order =
        R"({"order":{"type":"cmd","indicate":"Restart","target":{"platform":["PF"],)"
        R"("group":["G1"],"terminal":["X1"]}},"data":{"value":""},"timestamp":"t"})";
    skipWritten();
    zorcee::subscribeFunction("cee/order", order.c_str());
    EXPECT_EQ(zorcee::pendingReceiveCount(), before + 1);
    EXPECT_EQ(newLines().back(), "D : " + kEnv + "in subscribeFunction : add Receive Queue");

    // The same text again is a second order, not a duplicate to drop.
    zorcee::subscribeFunction("cee/order", order.c_str());
    EXPECT_EQ(zorcee::pendingReceiveCount(), before + 2);
}

TEST_F(CmdExecEnvTest, TableNamesBuildTheirCommand) {
    for (const std::string name : {"Restart", "nwreset", "ReadFromEchonetDevice", "UpdateLogger"}) {
        skipWritten();
        const auto cmd =
            zorcee::CreateCmdInfoObj(R"({"order":{"type":"cmd","indicate":")" + name + R"("}})");
        EXPECT_EQ(cmd->getName(), name);
        EXPECT_TRUE(cmd->isExecutable()) << name;
        EXPECT_TRUE(cmd->hasOutput()) << name;
        const auto lines = newLines();
        ASSERT_GE(lines.size(), 2u) << name;
        EXPECT_EQ(lines[0], "I : " + kEnv + "in CreateCmdInfoObj");
        EXPECT_EQ(lines[1], "I : " + kEnv + "in CreateCmdInfoObj : command found -> " + name);
        EXPECT_FALSE(mentions("command not found")) << name;
    }
}

TEST_F(CmdExecEnvTest, OrderForAnotherTerminalIsNotRun) {
    // This terminal: platform PF, group G1, substrate code X1 (from the suite's settings).
    const std::vector<std::string> targets = {
        R"({"platform":["OTHER"],"group":["all"],"terminal":["all"]})",
        R"({"platform":["all"],"group":["all"],"terminal":["X2"]})",
        R"({"platform":["all"],"terminal":["X1"]})",
    };
    for (const auto& target : targets) {
        const size_t sendBefore = zorcee::pendingSendCount();
        const size_t resultBefore = zorcee::pendingResultCount();
        std::mutex sendMutex;
        std::mutex resultMutex;
        skipWritten();
        std::thread worker(zorcee::executeServerOrderThread, std::ref(sendMutex),
                           std::ref(resultMutex),
                           R"({"order":{"type":"cmd","indicate":"Restart","target":)" + target +
                               R"(},"data":{"value":"QUJD"},"timestamp":"2024/05/06 07:08:09"})");
        worker.join();

        const auto lines = newLines();
        ASSERT_GE(lines.size(), 3u) << target;
        EXPECT_EQ(lines[lines.size() - 2],
                  "I : " + kEnv + "in executeServerOrder : check execute target command -> false");
        EXPECT_EQ(lines.back(), "W : " + kEnv +
                                    "in executeServerOrder : not execute target command : "
                                    "platform -> PF, group -> G1, substrate code -> X1");
        EXPECT_FALSE(mentions("in execCommand")) << target;
        EXPECT_EQ(zorcee::pendingSendCount(), sendBefore) << target;
        EXPECT_EQ(zorcee::pendingResultCount(), resultBefore) << target;
    }
}
