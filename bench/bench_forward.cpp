// Measures the agent's own cost per forwarded order: from the start of the order thread to the
// answer queued for publishing, with the logger application stand-in on loopback and the
// database and log on local disk. Orders are driven straight into the dispatch code.
//
// Usage: bench_forward LOGGER_SIM_BINARY [ORDERS]   (default 1000 orders)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Base64.h"
#include "ConnectionManager.h"
#include "DbController.h"
#include "Logging.h"
#include "SettingData.h"
#include "cmd_exec_env.h"

namespace {

// logger-sim as a child process; its first line tells the port it listens on.
struct LoggerSim {
    pid_t pid = -1;
    int port = 0;
    explicit LoggerSim(const std::string& binary) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            const int devnull = ::open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);
            execl(binary.c_str(), binary.c_str(), "--port", "0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        FILE* out = fdopen(fds[0], "r");
        char line[256] = {};
        if (out != nullptr && fgets(line, sizeof line, out) != nullptr) {
            std::sscanf(line, "listening on %d", &port);
        }
        // Keep reading (and dropping) what it prints, so that it never blocks on a full pipe.
        std::thread([out] {
            char buf[4096];
            while (out != nullptr && fread(buf, 1, sizeof buf, out) > 0) {
            }
        }).detach();
    }
    ~LoggerSim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: bench_forward LOGGER_SIM_BINARY [ORDERS]" << std::endl;
        return 64;
    }
    const int orders = argc > 2 ? std::atoi(argv[2]) : 1000;
    LoggerSim sim(argv[1]);
    if (sim.port == 0) {
        std::cerr << "logger-sim did not start" << std::endl;
        return 1;
    }

    char tmpl[] = "/tmp/cee-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/cee.conf")
        << "{\"PLATFORM\": \"bench\", \"CMD_SUBSTRATE_CODE\": \"echo B-1\", \"FILE_GROUP\": \""
        << dir << "/group\", \"LOG\": {\"LOG_DIR\": \"" << dir << "/log\", \"LOG_MAX_BYTES\": "
        << "1000000}, \"QMT_HTTP\": {\"URL\": \"http://127.0.0.1:" << sim.port
        << "/\"}, \"DATABASE\": {\"DB_PATH\": \"" << dir << "/db\"}}";
    zorcee::data::SettingData::createInstance(dir + "/cee.conf");
    auto* setting = zorcee::data::SettingData::getInstance();
    std::string error;
    auto log = zorcommon::createRotatingLogger(
        "cee", setting->getStringValue("LOG_DIR"), setting->getStringValue("LOG_FILE"),
        setting->getIntValue("LOG_MAX_BYTES"), setting->getIntValue("LOG_COUNTS"), error);
    zorcee::db::DbController init;
    if (!log || init.init(setting->getStringValue("DB_PATH"), setting->getStringValue("DB_FILE"),
                          "db_cee.lock", "db_upd.lock") != 0) {
        std::cerr << "set-up failed " << error << std::endl;
        return 1;
    }
    zorcee::attachObjects(std::make_unique<zorcee::conn::ConnectionManager>());

    const std::string request =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest id=\"1\"><command>"
        "ReadFromEchonetDevice</command><requestData><p x=\"1\">0x02</p><p x=\"2\">0x88</p>"
        "</requestData></commandRequest>";
    const std::string order =
        R"({"order":{"type":"cmd","indicate":"ReadFromEchonetDevice","target":{"platform":)"
        R"(["bench"],"group":["all"],"terminal":["*"]}},"data":{"value":")" +
        zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(request.data()),
                                request.size()) +
        R"("},"timestamp":"2026/12/06 10:00:00"})";

    std::mutex sendMutex;
    std::mutex resultMutex;
    std::vector<double> micros;
    micros.reserve(orders);
    const size_t queuedBefore = zorcee::pendingSendCount();
    for (int i = 0; i < orders; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        std::thread worker(zorcee::executeServerOrderThread, std::ref(sendMutex),
                           std::ref(resultMutex), order);
        worker.join();
        const auto t1 = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const size_t answered = zorcee::pendingSendCount() - queuedBefore;
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))];
    };
    std::printf("orders: %d, answers queued: %zu\n", orders, answered);
    std::printf(
        "per order (thread start to answer queued): median %.0f us, p99 %.0f us, "
        "max %.0f us\n",
        at(0.5), at(0.99), micros.back());
    zorcee::attachObjects(nullptr);
    zorcee::data::SettingData::destroyInstance();
    std::filesystem::remove_all(dir);
    return answered == static_cast<size_t>(orders) ? 0 : 1;
}
