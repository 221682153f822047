// HTTP POST against local peers: how many attempts a failure costs, which failures end the
// POST at once, the answer bound and redirects. The only layer that tests these; the agent's
// settings reaching them is shown with the forwarding commands.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <thread>

#include "ConnectionManagerBase.h"

using zorcommon::ConnectionManagerBase;
using zorcommon::HttpSettings;

namespace {

// A TCP peer on a free loopback port that answers its n-th connection with replies[n] and
// closes it ("" closes without a word; "hang" keeps it open unanswered). Connections beyond
// the replies are never accepted. Counts the connections and the POST requests among them.
class RawPeer {
  public:
    explicit RawPeer(std::vector<std::string> replies) {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
        thread_ = std::thread([this, replies] {
            for (const auto& reply : replies) {
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) {
                    return;
                }
                ++accepted;
                char buf[4096];
                posts += ::recv(c, buf, sizeof buf, 0) > 5 && std::strncmp(buf, "POST ", 5) == 0;
                held_.push_back(c);
                if (reply != "hang") {
                    (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                    ::shutdown(c, SHUT_RDWR);
                }
            }
        });
    }
    ~RawPeer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        for (int c : held_) {
            ::close(c);
        }
        ::close(fd_);
    }
    std::string url;
    std::atomic<int> accepted{0}, posts{0};

  private:
    const int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> held_;
    std::thread thread_;
};

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(HttpPost, AttemptsTimeOutsAndAnswerBound) {
    const std::string cut = ok(std::string(100, 'x')).substr(0, 60);
    const std::string error = "HTTP/1.1 500 Oops\r\nContent-Length: 6\r\n\r\n<err/>";
    const std::string redirect =
        "HTTP/1.1 303 See Other\r\nLocation: /m\r\nContent-Length: 0\r\n\r\n";
    const std::string full(1500, 'c');
    // Replies, RETRY_NUM, status, connections made, response kept.
    const std::tuple<const char*, std::vector<std::string>, int, int, int, std::string> cases[] = {
        {"dropped connections: every attempt", {"", "", ""}, 2, 52, 3, ""},
        {"no retry", {""}, 0, 52, 1, ""},
        {"negative count: one attempt", {""}, INT_MIN, 52, 1, ""},
        {"a cut answer is not kept", {cut, ok("GOOD")}, 2, 0, 2, "GOOD"},
        {"error status is an answer", {error}, 2, 0, 1, "<err/>"},
        {"time-out after connecting: not retried", {"hang", "hang"}, 2, 28, 1, ""},
        {"announced answer above the bound", {ok(full + "a"), ""}, 2, 63, 1, ""},
        {"answer of exactly the bound", {ok(full)}, 0, 0, 1, full},
        {"redirect keeps the POST", {redirect, ok("moved")}, 0, 0, 2, "moved"},
    };
    for (const auto& [what, replies, retryNum, rc, attempts, kept] : cases) {
        RawPeer peer(replies);
        HttpSettings http;
        http.retryNum = retryNum;
        http.retryIntervalUs = 10000;
        http.timeoutSec = 1;
        http.maxAnswerBytes = 1500;
        std::string response = "stale";
        EXPECT_EQ(ConnectionManagerBase("cee", "C", http).httpSendPost(peer.url, "<r/>", response),
                  rc)
            << what;
        EXPECT_EQ(std::to_string(peer.accepted) + " " + std::to_string(peer.posts) + " " + response,
                  std::to_string(attempts) + " " + std::to_string(attempts) + " " + kept)
            << what;
    }
}
