// Helpers shared by the unit tests: a temporary folder per test, file writing, polling, and a
// log captured into a string.
#pragma once

#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder below /tmp, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(TempDir&&) = delete;  // nor copied: the folder has one owner
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& text, int mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

// Rows of a query (all its statements), columns joined by "|", NULL shown as "NULL". A
// statement that fails fails the current test; the rows before it are returned.
std::vector<std::string> queryRows(sqlite3* db, const std::string& sql);
// The same on a connection of its own to the database file at `dbPath`.
std::vector<std::string> queryRows(const std::string& dbPath, const std::string& sql);

// Polls `done` until it holds or the deadline passes.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Registers a logger `name` writing "LEVEL : message" lines into a string, at debug level;
// drops it on destruction.
class CapturedLog {
  public:
    explicit CapturedLog(const std::string& name);
    ~CapturedLog() { spdlog::drop(name_); }
    std::string text() const { return stream_.str(); }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }

  private:
    std::string name_;
    std::ostringstream stream_;
};

}  // namespace testutil
