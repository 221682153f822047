// Preload library for benchmarks: measures the wall time a program spends waiting for others,
// so that a benchmark can subtract it: the outside programs it starts through popen()/pclose()
// and system(), and the MQTT interface library's connect (setup), subscribe (setReceive) and
// disconnect (destroy), which wait for the broker and for the MQTT client's threads. Every finished
// call appends one line "<nanoseconds> exec <command>" or "<nanoseconds> mqtt <function>" to the
// file named by BENCH_EXEC_TIME_FILE (nothing is written when the variable is not set).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

long long nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

template <typename Fn>
Fn nextSymbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void record(long long ns, const char* kind, const std::string& command) {
    const char* path = std::getenv("BENCH_EXEC_TIME_FILE");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::string line = std::to_string(ns) + " " + kind + " " + command;
    for (char& c : line) {
        if (c == '\n') {
            c = ' ';
        }
    }
    line += '\n';
    // One write per line on an O_APPEND descriptor: lines of several processes never mix.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const ssize_t written = ::write(fd, line.data(), line.size());
        (void)written;
        ::close(fd);
    }
}

// Only the program itself is measured: the outside programs it starts run without this
// library (the variable is read again by the C library at each exec).
__attribute__((constructor)) void dropPreloadForChildren() {
    unsetenv("LD_PRELOAD");
}

struct Started {
    long long startNs;
    std::string command;
};
std::mutex startedMutex;
std::unordered_map<FILE*, Started>& started() {
    static auto* map = new std::unordered_map<FILE*, Started>();
    return *map;
}

}  // namespace

extern "C" FILE* popen(const char* command, const char* mode) {
    static const auto real = nextSymbol<FILE* (*)(const char*, const char*)>("popen");
    const long long start = nowNs();
    FILE* fp = real(command, mode);
    if (fp != nullptr) {
        std::lock_guard<std::mutex> lock(startedMutex);
        started()[fp] = Started{start, command != nullptr ? command : ""};
    }
    return fp;
}

extern "C" int pclose(FILE* stream) {
    static const auto real = nextSymbol<int (*)(FILE*)>("pclose");
    const int status = real(stream);
    const long long end = nowNs();
    Started s{end, ""};
    {
        std::lock_guard<std::mutex> lock(startedMutex);
        const auto it = started().find(stream);
        if (it != started().end()) {
            s = it->second;
            started().erase(it);
        }
    }
    record(end - s.startNs, "exec", s.command);
    return status;
}

extern "C" int system(const char* command) {
    static const auto real = nextSymbol<int (*)(const char*)>("system");
    const long long start = nowNs();
    const int status = real(command);
    record(nowNs() - start, "exec", command != nullptr ? command : "");
    return status;
}

// The MQTT interface library (C linkage, libmqtt-if): connect, subscribe and disconnect.
extern "C" int setup(int app) {
    static const auto real = nextSymbol<int (*)(int)>("setup");
    const long long start = nowNs();
    const int rc = real != nullptr ? real(app) : -1;
    record(nowNs() - start, "mqtt", "setup");
    return rc;
}

extern "C" int setReceive(void (*callback)(const char*, const char*)) {
    static const auto real = nextSymbol<int (*)(void (*)(const char*, const char*))>("setReceive");
    const long long start = nowNs();
    const int rc = real != nullptr ? real(callback) : -1;
    record(nowNs() - start, "mqtt", "setReceive");
    return rc;
}

extern "C" int destroy(void) {
    static const auto real = nextSymbol<int (*)(void)>("destroy");
    const long long start = nowNs();
    const int rc = real != nullptr ? real() : 0;
    record(nowNs() - start, "mqtt", "destroy");
    return rc;
}
