// HTTP POST with retries against local servers, and the MQTT start-up sequence's failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <thread>

#include "ConnectionManager.h"
#include "ConnectionManagerBase.h"
#include "SettingData.h"
#include "TestUtil.h"

using zorcommon::ConnectionManagerBase;
using zorcommon::HttpSettings;

namespace {

HttpSettings fastSettings(int retries) {
    HttpSettings http;
    http.retryNum = retries;
    http.retryIntervalUs = 10000;
    http.timeoutSec = 5;
    http.connectTimeoutSec = 5;
    return http;
}

// An httplib server on a free loopback port, run on its own thread.
template <typename Server>
class RunningServer {
  public:
    template <typename... Args>
    explicit RunningServer(Args&&... args) : server(std::forward<Args>(args)...) {}
    void start() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~RunningServer() {
        server.stop();
        if (thread.joinable()) {
            thread.join();
        }
    }
    Server server;
    int port = 0;
    std::thread thread;
};

// A raw TCP server answering each accepted connection with the next canned reply (then
// closing it); a reply of "hang" keeps the connection open without answering.
class RawServer {
  public:
    explicit RawServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(fd_, 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
        for (int c : hanging_) {
            ::close(c);
        }
    }
    int port = 0;
    std::atomic<int> accepted{0};

  private:
    void serve() {
        for (const auto& reply : replies_) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0 || stop_) {
                return;
            }
            ++accepted;
            char buf[4096];
            (void)::recv(c, buf, sizeof buf, 0);  // the request; its content is not needed
            if (reply == "hang") {
                hanging_.push_back(c);
                continue;
            }
            (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(c);
        }
    }
    std::vector<std::string> replies_;
    int fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<int> hanging_;
};

int freePortWithNothingListening() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

class HttpPostTest : public ::testing::Test {
  protected:
    testutil::CapturedLog log{"cee"};
};

}  // namespace

TEST_F(HttpPostTest, ErrorStatusIsOneSuccessfulAttempt) {
    RunningServer<httplib::Server> http;
    std::atomic<int> hits{0};
    std::string seenBody, seenType, seenAgent;
    http.server.Post("/", [&](const httplib::Request& req, httplib::Response& res) {
        ++hits;
        seenBody = req.body;
        seenType = req.get_header_value("Content-Type");
        seenAgent = req.get_header_value("User-Agent");
        res.status = 500;
        res.set_content("<err/>", "text/xml");
    });
    http.start();

    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(3));
    std::string response = "stale";
    const std::string url = "http://127.0.0.1:" + std::to_string(http.port) + "/";
    EXPECT_EQ(cm.httpSendPost(url, "<commandRequest/>", response), 0);
    EXPECT_EQ(response, "<err/>");
    EXPECT_EQ(hits.load(), 1);
    EXPECT_EQ(seenBody, "<commandRequest/>");
    EXPECT_EQ(seenType, "text/xml");
    EXPECT_EQ(seenAgent, "harbolink/1.0");
    EXPECT_TRUE(log.contains("I : [ConnectionManager.cpp:"));
    EXPECT_TRUE(
        log.contains("] in httpSendPost : url -> " + url + ", send data -> <commandRequest/>|"));
    EXPECT_TRUE(log.contains("I :     data.length=17, data.c_str=<commandRequest/>|"));
    EXPECT_FALSE(log.contains("Retry remaining"));
}

TEST_F(HttpPostTest, EmptyTextAndTextWithNul) {
    RunningServer<httplib::Server> http;
    std::vector<std::string> bodies;
    std::string length;
    http.server.Post("/", [&](const httplib::Request& req, httplib::Response& res) {
        bodies.push_back(req.body);
        length = req.get_header_value("Content-Length");
        res.set_content("ok", "text/plain");
    });
    http.start();
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(0));
    const std::string url = "http://127.0.0.1:" + std::to_string(http.port) + "/";
    std::string response;
    EXPECT_EQ(cm.httpSendPost(url, "", response), 0);
    EXPECT_EQ(length, "0");
    EXPECT_EQ(cm.httpSendPost(url, std::string("ab\0cd", 5), response), 0);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], "");
    EXPECT_EQ(bodies[1], "ab");  // the body ends at the first NUL
}

TEST_F(HttpPostTest, UnreachableServerIsRetriedWithCountdown) {
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(3));
    std::string response;
    const std::string url = "http://127.0.0.1:" + std::to_string(freePortWithNothingListening());
    EXPECT_EQ(cm.httpSendPost(url, "x", response), 7);  // connection refused
    const std::string text = log.text();
    size_t pos = 0;
    for (int remaining : {3, 2, 1, 0}) {
        const std::string line = "] in http_access : failed to access url : Retry remaining -> " +
                                 std::to_string(remaining);
        pos = text.find(line, pos);
        ASSERT_NE(pos, std::string::npos) << line << "\n" << text;
    }
    EXPECT_FALSE(log.contains("Retry remaining -> -1"));
    EXPECT_TRUE(log.contains("W : [ConnectionManager.cpp:"));
    EXPECT_TRUE(log.contains("] in httpPostPlane : failed -> Couldn't connect to server"));

    // RETRY_NUM below 1 means a single attempt, also at the bottom of the int range (the
    // count used to wrap around there and retry practically for ever).
    for (const int retries : {-2, INT_MIN}) {
        log.clear();
        ConnectionManagerBase once("cee", "ConnectionManager.cpp", fastSettings(retries));
        EXPECT_EQ(once.httpSendPost(url, "x", response), 7);
        const std::string line = "Retry remaining -> " + std::to_string(retries);
        EXPECT_TRUE(log.contains(line)) << retries;
        EXPECT_EQ(log.text().find("Retry remaining", log.text().find(line) + 1), std::string::npos)
            << retries;
    }
}

// Which failed attempts are tried again: only those that cannot have reached the peer. An
// attempt that timed out on a made connection, or whose answer was too large, ends the POST.
TEST_F(HttpPostTest, AttemptsThatMayHaveReachedThePeerAreNotRetried) {
    const std::string big =
        "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(2000, 'a');
    const std::string chunk = "3e8\r\n" + std::string(1000, 'b') + "\r\n";
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk + chunk + "0\r\n\r\n";
    struct Case {
        const char* what;
        std::string reply;
        int rc;
    };
    const Case cases[] = {
        {"time-out after the connection was made", "hang", 28},
        {"announced answer above the limit", big, 63},
        {"chunked answer growing above the limit", chunked, 63},
    };
    for (const auto& c : cases) {
        RawServer raw({c.reply, c.reply, c.reply});
        HttpSettings http = fastSettings(2);
        http.timeoutSec = 1;
        http.maxAnswerBytes = 1500;
        ConnectionManagerBase cm("cee", "ConnectionManager.cpp", http);
        std::string response = "stale";
        EXPECT_EQ(
            cm.httpSendPost("http://127.0.0.1:" + std::to_string(raw.port) + "/", "x", response),
            c.rc)
            << c.what;
        EXPECT_EQ(raw.accepted.load(), 1) << c.what;
        EXPECT_EQ(response, "") << c.what;
    }
    EXPECT_TRUE(
        log.contains("] in httpPostPlane : failed -> answer larger than MAX_ANSWER_BYTES "
                     "(1500 bytes)"));

    // An answer of exactly the limit is taken.
    RawServer exact({"HTTP/1.1 200 OK\r\nContent-Length: 1500\r\n\r\n" + std::string(1500, 'c')});
    HttpSettings http = fastSettings(0);
    http.maxAnswerBytes = 1500;
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", http);
    std::string response;
    EXPECT_EQ(
        cm.httpSendPost("http://127.0.0.1:" + std::to_string(exact.port) + "/", "x", response), 0);
    EXPECT_EQ(response, std::string(1500, 'c'));
}

// A redirect keeps the method and the body (libcurl would otherwise re-send a GET).
TEST_F(HttpPostTest, RedirectKeepsThePost) {
    RunningServer<httplib::Server> http;
    std::vector<std::string> seen;
    for (const int status : {301, 302, 303}) {
        http.server.Post("/" + std::to_string(status),
                         [status](const httplib::Request&, httplib::Response& res) {
                             res.status = status;
                             res.set_header("Location", "/moved");
                         });
    }
    http.server.Post("/moved", [&](const httplib::Request& req, httplib::Response& res) {
        seen.push_back(req.body);
        res.set_content("moved:" + req.body, "text/plain");
    });
    http.start();
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(0));
    for (const int status : {301, 302, 303}) {
        std::string response;
        EXPECT_EQ(cm.httpSendPost("http://127.0.0.1:" + std::to_string(http.port) + "/" +
                                      std::to_string(status),
                                  "<r/>", response),
                  0);
        EXPECT_EQ(response, "moved:<r/>") << status;
    }
    EXPECT_EQ(seen, std::vector<std::string>(3, "<r/>"));
}

TEST_F(HttpPostTest, FailedAttemptLeavesNoPartialAnswer) {
    RawServer raw({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial",
                   "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nGOOD"});
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(2));
    std::string response;
    EXPECT_EQ(cm.httpSendPost("http://127.0.0.1:" + std::to_string(raw.port) + "/", "x", response),
              0);
    EXPECT_EQ(raw.accepted.load(), 2);
    EXPECT_EQ(response, "GOOD");
}

TEST_F(HttpPostTest, PeerThatNeverAnswersTimesOut) {
    RawServer raw({"hang"});
    HttpSettings http = fastSettings(0);
    http.timeoutSec = 1;
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", http);
    std::string response;
    EXPECT_EQ(cm.httpSendPost("http://127.0.0.1:" + std::to_string(raw.port) + "/", "x", response),
              28);
}

TEST_F(HttpPostTest, HttpsWithSelfSignedCertificate) {
    testutil::TempDir tmp;
    const std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=cee-test "
        "-keyout " +
        tmp.file("key.pem") + " -out " + tmp.file("cert.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    RunningServer<httplib::SSLServer> https(tmp.file("cert.pem").c_str(),
                                            tmp.file("key.pem").c_str());
    https.server.Post("/", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("secure:" + req.body, "text/plain");
    });
    https.start();
    ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(0));
    std::string response;
    EXPECT_EQ(
        cm.httpSendPost("https://127.0.0.1:" + std::to_string(https.port) + "/", "hello", response),
        0);
    EXPECT_EQ(response, "secure:hello");
}

TEST_F(HttpPostTest, AgentVariantTakesItsSettings) {
    testutil::TempDir tmp;
    testutil::writeFile(tmp.file("cee.conf"),
                        "{\"CMD_SUBSTRATE_CODE\": \"true\", \"FILE_GROUP\": \"" +
                            tmp.file("group") +
                            "\", \"QMT_HTTP\": {\"RETRY_NUM\": 1, \"RETRY_INTERVAL\": 10}}");
    zorcee::data::SettingData::destroyInstance();
    zorcee::data::SettingData::createInstance(tmp.file("cee.conf"));
    {
        zorcee::conn::ConnectionManager cm;
        EXPECT_TRUE(log.contains("] in ConnectionManager"));
        EXPECT_EQ(cm.getStage(), 0);
        std::string response;
        const std::string url =
            "http://127.0.0.1:" + std::to_string(freePortWithNothingListening());
        EXPECT_EQ(cm.httpSendPost(url, "x", response), 7);
        EXPECT_TRUE(log.contains("Retry remaining -> 1"));
        EXPECT_TRUE(log.contains("Retry remaining -> 0"));
        EXPECT_FALSE(log.contains("Retry remaining -> 2"));
    }
    zorcee::data::SettingData::destroyInstance();
}

TEST_F(HttpPostTest, MqttStartFailures) {
    testutil::TempDir tmp;
    // A broker address the client cannot even be created for: the first step fails.
    testutil::writeFile(tmp.file("bad.conf"),
                        "{\"BROKER_URI\": \"bogus://127.0.0.1:1\", \"PERSISTENCE_DIR\": \"\"}");
    ::setenv("MQTT_IF_CONF", tmp.file("bad.conf").c_str(), 1);
    {
        ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(0));
        EXPECT_EQ(cm.initConn(), -1);
        EXPECT_EQ(cm.getStage(), -1);
        EXPECT_TRUE(log.contains("] in initConn : initialize -> failed"));
        EXPECT_FALSE(log.contains("setMode"));
    }
    // Nobody listening: setup fails after the mode was set.
    log.clear();
    testutil::writeFile(
        tmp.file("absent.conf"),
        "{\"BROKER_URI\": \"tcp://127.0.0.1:" + std::to_string(freePortWithNothingListening()) +
            "\", \"CONNECT_TIMEOUT_S\": 1, \"PERSISTENCE_DIR\": \"\"}");
    ::setenv("MQTT_IF_CONF", tmp.file("absent.conf").c_str(), 1);
    {
        ConnectionManagerBase cm("cee", "ConnectionManager.cpp", fastSettings(0));
        EXPECT_EQ(cm.initConn(), -3);
        EXPECT_EQ(cm.getStage(), -3);
        EXPECT_TRUE(log.contains("] in initConn : initialize -> success"));
        EXPECT_TRUE(log.contains("] in initConn : setMode(MODE_MQTT) -> success"));
        EXPECT_TRUE(log.contains("] in initConn : setup(APP_CMD) -> failed (-"));
        EXPECT_EQ(cm.getConnectStatus(), 0);
    }
    ::unsetenv("MQTT_IF_CONF");
}
