// Test driver for libmqtt-if: one library client per process, driven line by line on stdin.
// Each command prints one answer line "<command> <result>"; received messages print as
// "msg <topic> <payload>", and in echo mode the callback answers each one through dataSend
// ("answered <rc>"). The program's name (argv[0], e.g. a symlink) is the library's program name.
#include <mqtt_if.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>

namespace {

std::mutex g_outMutex;
std::atomic<bool> g_echo{false};

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    std::cout << line << std::endl;
}

void onReceive(const char* topic, const char* message) {
    say(std::string("msg ") + topic + " " + message);
    if (g_echo) {
        char buffer[16];
        say("answered " + std::to_string(dataSend(1, 0, message, buffer)));
    }
}

}  // namespace

int main() {
    std::string line;
    char topic[MQTT_IF_TOPIC_SIZE];
    char buffer[16];
    while (std::getline(std::cin, line)) {
        const auto space = line.find(' ');
        const std::string cmd = line.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        if (cmd == "init") {
            say("init " + std::to_string(initialize()));
        } else if (cmd == "mode") {
            say("mode " + std::to_string(setMode(std::stoi(arg))));
        } else if (cmd == "setup") {
            say("setup " + std::to_string(setup(1)));
        } else if (cmd == "pub" || cmd == "sub") {
            const int rc = cmd == "pub" ? getTopicPub(topic) : getTopicSub(topic);
            say(cmd + " " + std::to_string(rc) + (rc == 0 ? " " + std::string(topic) : ""));
        } else if (cmd == "recv") {
            say("recv " + std::to_string(setReceive(&onReceive)));
        } else if (cmd == "echo") {
            g_echo = arg != "off";
            say(std::string("echo ") + (g_echo ? "on" : "off"));
        } else if (cmd == "send") {
            say("send " + std::to_string(dataSend(1, 0, arg.c_str(), buffer)));
        } else if (cmd == "sendkind") {
            say("sendkind " + std::to_string(dataSend(std::stoi(arg), 0, "x", buffer)));
        } else if (cmd == "status") {
            say("status " + std::to_string(getConnectStatus()));
        } else if (cmd == "destroy") {
            say("destroy " + std::to_string(destroy()));
        } else {
            say("unknown " + cmd);
        }
    }
    destroy();
    return 0;
}
