// logger-sim: a stand-in for the logger application's local HTTP interface, for tests and the
// demo. It answers every POST on "/" with a commandResponse XML and prints each request body it
// receives on one line of standard output. Other modes play a faulty peer: an error status, a
// late answer, no answer at all, a dropped or cut-off connection, or a body that is not XML.
// With a certificate and key it serves HTTPS.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>
#include <tinyxml2.h>

#include "SimResponse.h"

namespace {

constexpr int kUsageError = 64;

enum class Mode { Ok, Status500, Slow, Close, Never, Cut, Garbage, Huge, Endless, Redirect };

struct Options {
    int port = -1;
    std::string host = "127.0.0.1";
    Mode mode = Mode::Ok;
    logger_sim::Battery battery = logger_sim::Battery::On;
    long delayMs = 3000;
    long faultCount = -1;                       // requests that get the mode's treatment; -1: all
    long long sizeBytes = 100LL * 1024 * 1024;  // body of --mode huge
    std::string tlsCert, tlsKey;                // both set: HTTPS
};

const char* const kUsage =
    "usage: logger-sim --port N [--host ADDR]\n"
    "                  [--mode ok|status500|slow|close|never|cut|garbage|huge|endless|redirect]\n"
    "                  [--battery on|off|silent] [--delay-ms MS] [--fault-count N]\n"
    "                  [--size BYTES] [--tls-cert FILE --tls-key FILE]\n";

const char* const kHelp =
    "Stand-in for the logger application's local HTTP interface (tests and demo only).\n"
    "\n"
    "Every POST on / is answered with a commandResponse XML document: the request's id\n"
    "attribute is copied, status is SUCCESS and responseData echoes the request's command.\n"
    "A ReadFromEchonetDevice of class 0x7D (storage battery), property 0x80 (operation\n"
    "status) is answered with the operation status in a p element of responseData.\n"
    "A body that is not a commandRequest document gets status INVALID_REQUEST.\n"
    "\n"
    "Options:\n"
    "  --port N          port to listen on; 0 picks a free one\n"
    "  --host ADDR       address to listen on (default 127.0.0.1)\n"
    "  --mode MODE       ok         answer with HTTP 200 (default)\n"
    "                    status500  answer with HTTP 500 and the same body\n"
    "                    slow       wait --delay-ms before answering with HTTP 200\n"
    "                    close      close the connection without answering\n"
    "                    never      keep the connection open and never answer\n"
    "                    cut        send the status line, the headers and the first half of\n"
    "                               the body, then close the connection\n"
    "                    garbage    answer with HTTP 200 and a body that is not XML: the 256\n"
    "                               byte values 0 to 255 in order\n"
    "                    huge       answer with HTTP 200 and a body of --size bytes (announced\n"
    "                               in Content-Length)\n"
    "                    endless    answer with HTTP 200 and a chunked body that never ends\n"
    "                    redirect   answer with 302 to /moved, where the POST is answered as\n"
    "                               in --mode ok (its body is printed again)\n"
    "  --battery STATE   on      operation status 0x30 (default)\n"
    "                    off     operation status 0x31\n"
    "                    silent  the battery does not answer: status TIMEOUT, no value\n"
    "  --delay-ms MS     delay of --mode slow in milliseconds (default 3000)\n"
    "  --fault-count N   only the first N requests get the treatment of --mode; later ones\n"
    "                    are answered as in --mode ok (default: every request)\n"
    "  --size BYTES      body size of --mode huge (default 104857600)\n"
    "  --tls-cert FILE   serve HTTPS with this certificate (PEM) ...\n"
    "  --tls-key FILE    ... and its private key (PEM); both or neither\n"
    "  -h, --help        show this text\n"
    "\n"
    "Standard output: the first line is \"listening on PORT\"; then each request body received,\n"
    "one line per request, flushed at once. In a body a backslash is written as \\\\, a line\n"
    "feed as \\n and a carriage return as \\r; every other byte (UTF-8 included) is written as\n"
    "received. Messages go to standard error. SIGTERM or SIGINT ends the program with status 0.\n";

bool parseLong(const std::string& text, long min, long max, long& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

// Returns -1 to go on, otherwise the exit status.
int parseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage << "\n" << kHelp;
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "logger-sim: unknown option or missing value: " << arg << "\n" << kUsage;
            return kUsageError;
        }
        const std::string value = argv[++i];
        bool ok = true;
        long number = 0;
        if (arg == "--port") {
            ok = parseLong(value, 0, 65535, number);
            opt.port = static_cast<int>(number);
        } else if (arg == "--host") {
            opt.host = value;
        } else if (arg == "--tls-cert") {
            opt.tlsCert = value;
        } else if (arg == "--tls-key") {
            opt.tlsKey = value;
        } else if (arg == "--delay-ms") {
            ok = parseLong(value, 0, 3600000, number);
            opt.delayMs = number;
        } else if (arg == "--size") {
            ok = parseLong(value, 0, std::numeric_limits<long>::max(), number);
            opt.sizeBytes = number;
        } else if (arg == "--fault-count") {
            ok = parseLong(value, 0, 1L << 30, number);
            opt.faultCount = number;
        } else if (arg == "--mode") {
            if (value == "ok") {
                opt.mode = Mode::Ok;
            } else if (value == "status500") {
                opt.mode = Mode::Status500;
            } else if (value == "slow") {
                opt.mode = Mode::Slow;
            } else if (value == "close") {
                opt.mode = Mode::Close;
            } else if (value == "never") {
                opt.mode = Mode::Never;
            } else if (value == "cut") {
                opt.mode = Mode::Cut;
            } else if (value == "garbage") {
                opt.mode = Mode::Garbage;
            } else if (value == "huge") {
                opt.mode = Mode::Huge;
            } else if (value == "endless") {
                opt.mode = Mode::Endless;
            } else if (value == "redirect") {
                opt.mode = Mode::Redirect;
            } else {
                ok = false;
            }
        } else if (arg == "--battery") {
            ok = logger_sim::parseBattery(value, opt.battery);
        } else {
            std::cerr << "logger-sim: unknown option: " << arg << "\n" << kUsage;
            return kUsageError;
        }
        if (!ok) {
            std::cerr << "logger-sim: bad value for " << arg << ": " << value << "\n" << kUsage;
            return kUsageError;
        }
    }
    if (opt.port < 0) {
        std::cerr << "logger-sim: --port is required\n" << kUsage;
        return kUsageError;
    }
    if (opt.tlsCert.empty() != opt.tlsKey.empty()) {
        std::cerr << "logger-sim: --tls-cert and --tls-key go together\n" << kUsage;
        return kUsageError;
    }
    return -1;
}

std::mutex outputMutex;

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string socketAddress(const sockaddr_storage& addr, int& port) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        port = ntohs(in->sin_port);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    } else if (addr.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        port = ntohs(in6->sin6_port);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
    } else {
        port = -1;
    }
    return text;
}

// The HTTP library does not hand the connection's socket to a handler, so look it up among the
// process's open descriptors by its two endpoints (unique for a TCP connection).
int findConnectionSocket(const httplib::Request& req) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (const dirent* entry = readdir(dir)) {
        long fd = 0;
        if (!parseLong(entry->d_name, 0, 1 << 30, fd) || fd == dirfd(dir)) {
            continue;
        }
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLen = sizeof(local);
        socklen_t peerLen = sizeof(peer);
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLen) !=
                0 ||
            getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
            continue;
        }
        int localPort = -1;
        int peerPort = -1;
        socketAddress(local, localPort);
        const std::string peerAddr = socketAddress(peer, peerPort);
        if (localPort == req.local_port && peerPort == req.remote_port &&
            peerAddr == req.remote_addr) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

std::atomic<bool> stopping{false};
std::mutex stopMutex;
std::condition_variable stopCv;

// Waits for the given time; returns early (false) when the program is asked to stop.
bool waitUnlessStopping(long ms) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return stopping.load(); });
}

// Waits until the program is asked to stop.
void waitForStop() {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopCv.wait(lock, [] { return stopping.load(); });
}

// Writes all of text to the socket; false when the peer is gone.
bool sendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Ends the connection of req at once; the library closes the descriptor itself once its own
// write fails. When bytes are given they are sent first, so the peer sees a cut-off answer.
void dropConnection(const httplib::Request& req, const std::string& bytes) {
    const int fd = findConnectionSocket(req);
    if (fd < 0) {
        std::cerr << "logger-sim: connection socket not found\n";
        return;
    }
    if (!bytes.empty() && !sendAll(fd, bytes)) {
        std::cerr << "logger-sim: peer went away before the cut\n";
    }
    ::shutdown(fd, SHUT_RDWR);
}

// An answer that is no XML at all: every byte value once, NUL and invalid UTF-8 included.
std::string garbageBody() {
    std::string body(256, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i);
    }
    return body;
}

// Plain HTTP, or HTTPS when a certificate is given.
std::unique_ptr<httplib::Server> makeServer(const Options& opt) {
    if (opt.tlsCert.empty()) {
        return std::make_unique<httplib::Server>();
    }
    return std::make_unique<httplib::SSLServer>(opt.tlsCert.c_str(), opt.tlsKey.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const int parsed = parseArgs(argc, argv, opt);
    if (parsed >= 0) {
        return parsed;
    }

    // SIGINT and SIGTERM are taken by one thread with sigwait; block them before any other
    // thread exists so that every thread inherits the mask. A peer that goes away while we
    // write must not kill the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::unique_ptr<httplib::Server> owned = makeServer(opt);
    httplib::Server& server = *owned;
    if (!server.is_valid()) {
        std::cerr << "logger-sim: cannot use " << opt.tlsCert << " and " << opt.tlsKey << "\n";
        return 1;
    }
    std::atomic<long> requestsSeen{0};
    // The body is read through a content reader so that no limit of the library applies to it,
    // whatever content type the client declares.
    const auto handler = [&opt, &requestsSeen](const httplib::Request& req, httplib::Response& res,
                                               const httplib::ContentReader& reader) {
        if (req.is_multipart_form_data()) {
            res.status = 400;
            return;
        }
        std::string body;
        reader([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        printLine(logger_sim::escapeLine(body));
        const long seen = ++requestsSeen;
        Mode mode = opt.faultCount < 0 || seen <= opt.faultCount ? opt.mode : Mode::Ok;
        if (req.path == "/moved") {
            mode = Mode::Ok;
        }
        if (mode == Mode::Redirect) {
            res.status = 302;
            res.set_header("Location", "/moved");
            return;
        }
        if (mode == Mode::Huge || mode == Mode::Endless) {
            // Generated piece by piece: the simulator itself holds no large body.
            static const std::string piece(65536, 'x');
            const auto size = static_cast<size_t>(opt.sizeBytes);
            res.status = 200;
            if (mode == Mode::Huge) {
                res.set_content_provider(
                    size, "text/xml", [](size_t, size_t length, httplib::DataSink& sink) {
                        return sink.write(piece.data(), std::min(length, piece.size()));
                    });
            } else {
                res.set_chunked_content_provider("text/xml", [](size_t, httplib::DataSink& sink) {
                    return !stopping.load() && sink.write(piece.data(), piece.size());
                });
            }
            return;
        }
        if (mode == Mode::Close) {
            dropConnection(req, "");
            return;
        }
        if (mode == Mode::Never) {
            waitForStop();
            return;
        }
        if (mode == Mode::Cut) {
            const std::string full = logger_sim::buildResponse(body, opt.battery);
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=UTF-8\r\n"
                "Content-Length: " +
                std::to_string(full.size()) + "\r\n\r\n";
            dropConnection(req, head + full.substr(0, full.size() / 2));
            return;
        }
        if (mode == Mode::Garbage) {
            res.status = 200;
            res.set_content(garbageBody(), "application/octet-stream");
            return;
        }
        if (mode == Mode::Slow && !waitUnlessStopping(opt.delayMs)) {
            return;
        }
        res.status = mode == Mode::Status500 ? 500 : 200;
        res.set_content(logger_sim::buildResponse(body, opt.battery), "text/xml; charset=UTF-8");
    };
    server.Post("/", handler);
    server.Post("/moved", handler);

    int port = opt.port;
    if (port == 0) {
        port = server.bind_to_any_port(opt.host);
    } else if (!server.bind_to_port(opt.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "logger-sim: cannot listen on " << opt.host << ":" << opt.port << "\n";
        return 1;
    }
    printLine("listening on " + std::to_string(port));

    std::thread signalThread([&server, &stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = true;
        }
        stopCv.notify_all();
        server.stop();
    });

    const bool listened = server.listen_after_bind();
    const bool stoppedBySignal = stopping;
    if (!stoppedBySignal) {
        // The server ended on its own: wake the signal thread so that it can be joined.
        pthread_kill(signalThread.native_handle(), SIGTERM);
    }
    signalThread.join();
    if (!listened && !stoppedBySignal) {
        std::cerr << "logger-sim: server failed\n";
        return 1;
    }
    return 0;
}
