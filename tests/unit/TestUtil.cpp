#include "TestUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testutil {

TempDir::TempDir() {
    char tmpl[] = "/tmp/cee-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& text, int mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> queryRows(sqlite3* db, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const auto* t = sqlite3_column_text(st, i);
            row += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        out.push_back(row);
    }
    sqlite3_finalize(st);
    return out;
}

std::vector<std::string> queryRows(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dbPath.c_str(), &db);
    auto rows = queryRows(db, sql);
    sqlite3_close(db);
    return rows;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

CapturedLog::CapturedLog(const std::string& name) : name_(name) {
    spdlog::drop(name_);
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    auto log = std::make_shared<spdlog::logger>(name_, sink);
    log->set_pattern("%L : %v");
    log->set_level(spdlog::level::debug);
    spdlog::register_logger(log);
}

CapturedLog::~CapturedLog() {
    spdlog::drop(name_);
}

}  // namespace testutil
