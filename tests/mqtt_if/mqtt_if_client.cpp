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

// The result of one command (a library return code, or a topic after "0 ").
std::string run(const std::string& cmd, const std::string& arg) {
    char text[MQTT_IF_TOPIC_SIZE];
    int rc = -99;  // an unknown command
    if (cmd == "pub" || cmd == "sub") {
        rc = cmd == "pub" ? getTopicPub(text) : getTopicSub(text);
        return std::to_string(rc) + (rc == 0 ? " " + std::string(text) : "");
    }
    if (cmd == "echo") {
        g_echo = arg != "off";
        return g_echo ? "on" : "off";
    }
    rc = cmd == "init"       ? initialize()
         : cmd == "mode"     ? setMode(std::stoi(arg))
         : cmd == "setup"    ? setup(1)
         : cmd == "recv"     ? setReceive(&onReceive)
         : cmd == "send"     ? dataSend(1, 0, arg.c_str(), text)
         : cmd == "sendkind" ? dataSend(std::stoi(arg), 0, "x", text)
         : cmd == "status"   ? getConnectStatus()
         : cmd == "destroy"  ? destroy()
                             : rc;
    return std::to_string(rc);
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const auto space = line.find(' ');
        const std::string cmd = line.substr(0, space);
        say(cmd + " " + run(cmd, space == std::string::npos ? "" : line.substr(space + 1)));
    }
    destroy();
    return 0;
}
