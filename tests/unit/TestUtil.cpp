#include "TestUtil.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testutil {

TempDir::TempDir() {
    char tmpl[] = "/tmp/cee-test-XXXXXX";
    path_ = ::mkdtemp(tmpl) != nullptr ? tmpl : throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& text, int mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;  // closed here
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> queryRows(sqlite3* db, const std::string& sql) {
    std::vector<std::string> rows;
    const auto addRow = [](void* out, int columns, char** values, char**) {
        auto& row = static_cast<std::vector<std::string>*>(out)->emplace_back();
        for (int i = 0; i < columns; ++i) {
            row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
        }
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), addRow, &rows, nullptr), SQLITE_OK) << sql;
    return rows;
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
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

CapturedLog::CapturedLog(const std::string& name) : name_(name) {
    spdlog::drop(name_);
    auto log = spdlog::create<spdlog::sinks::ostream_sink_mt>(name_, stream_);
    log->set_pattern("%L : %v");
    log->set_level(spdlog::level::debug);
}

}  // namespace testutil
