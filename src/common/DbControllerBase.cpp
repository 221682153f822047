#include "DbControllerBase.h"

#include <atomic>
#include <cstring>
#include <fstream>

namespace zorcommon {

namespace {
std::atomic<int> busyTimeout{kDefaultBusyTimeoutMs};
}  // namespace

bool lacksDatabaseHeader(sqlite3* db) {
    static const char kMagic[16] = "SQLite format 3";  // with its terminating NUL: 16 bytes
    sqlite3_file* file = nullptr;
    sqlite3_int64 size = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr || file->pMethods == nullptr ||
        file->pMethods->xFileSize(file, &size) != SQLITE_OK || size == 0) {
        return false;  // nothing to read: SQLite reports what is wrong, or makes a database
    }
    char head[sizeof kMagic] = {};
    return size < static_cast<sqlite3_int64>(sizeof head) ||
           file->pMethods->xRead(file, head, sizeof head, 0) != SQLITE_OK ||
           std::memcmp(head, kMagic, sizeof head) != 0;
}

void setBusyTimeoutMs(int ms) {
    busyTimeout.store(ms < 0 ? kDefaultBusyTimeoutMs : ms);
}

int busyTimeoutMs() {
    return busyTimeout.load();
}

DbControllerBase::DbControllerBase(const char* loggerName, const char* unit, const char* lockLabel,
                                   DbLock& guard)
    : log_(spdlog::get(loggerName)),
      loggerName_(loggerName),
      unit_(unit),
      lockLabel_(lockLabel),
      guard_(guard) {}

DbControllerBase::~DbControllerBase() {
    if (db_ != nullptr) {
        close();
    }
}

void DbControllerBase::setDbFilename(const std::string& dir, const std::string& file) {
    dbDir_ = dir;
    dbFile_ = file;
    dbPath_ = dir + "/" + file;
}

bool DbControllerBase::existsDbFile() const {
    std::ifstream in(dbPath_);
    return in.good();
}

bool DbControllerBase::open() {
    const bool locked = guard_.createLockFile();
    logLineRt(log_, spdlog::level::info, unit_, __LINE__,
              std::string("[{}:{}] in open : create lock file [") + lockLabel_ + "] -> {}",
              locked ? "success" : "failed!");
    if (!locked) {
        return false;
    }
    // Only schema creation may make the file: a file removed while a program runs must show as
    // a failed open, not come back empty and without tables.
    const int flags = SQLITE_OPEN_READWRITE | (createFile_ ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(dbPath_.c_str(), &db_, flags, nullptr);
    // SQLite reads the file at the first statement: a file that is not a database shows here.
    if (rc == SQLITE_OK && repairDamaged_ && !createFile_ &&
        (lacksDatabaseHeader(db_) || sqlite3_exec(db_, "SELECT 1 FROM sqlite_master LIMIT 1",
                                                  nullptr, nullptr, nullptr) == SQLITE_NOTADB)) {
        // Closing must not copy a log into the damaged file before it is moved aside.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        guard_.releaseLockFile();
        rc = replaceDamagedFile() && guard_.createLockFile()
                 ? sqlite3_open_v2(dbPath_.c_str(), &db_, flags, nullptr)
                 : SQLITE_NOTADB;
    }
    if (rc == SQLITE_OK) {
        // A reader's shared lock (or the other program's short write) makes a statement wait
        // up to this long instead of failing at once.
        sqlite3_busy_timeout(db_, busyTimeoutMs());
        // Every commit reaches the disk before it returns, whatever the build's default.
        sqlite3_exec(db_, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        if (connectionPragmas_[0] != '\0') {
            sqlite3_exec(db_, connectionPragmas_, nullptr, nullptr, nullptr);
        }
        ZLOG_UNIT_I(log_, unit_, "[{}:{}] in open : DB open success : db file -> {}", dbPath_);
        return true;
    }
    ZLOG_UNIT_W(log_, unit_, "[{}:{}] in open : DB open failed -> {}", rc);
    // sqlite3_open hands out a handle even on failure; it must be released.
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return false;
}

bool DbControllerBase::open(const std::string& dir, const std::string& file) {
    log_ = spdlog::get(loggerName_);
    setDbFilename(dir, file);
    return open();
}

void DbControllerBase::close() {
    if (db_ != nullptr) {
        ZLOG_UNIT_I(log_, unit_, "[{}:{}] in close : db file -> {}", dbPath_);
        // _v2 defers the real close until statements still held by callers are finalised.
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    // Only a lock file that this controller made goes: one found in place belongs to another
    // instance of the program.
    const bool removed = guard_.releaseLockFile();
    logLineRt(log_, spdlog::level::info, unit_, __LINE__,
              std::string("[{}:{}] in close : remove lock file [") + lockLabel_ + "] -> {}",
              removed ? "success" : "failed!");
}

bool DbControllerBase::execSimple(const char* sql) {
    return db_ != nullptr && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool DbControllerBase::beginTransaction() {
    return execSimple("BEGIN;");
}
bool DbControllerBase::commitTransaction() {
    return execSimple("COMMIT;");
}
bool DbControllerBase::rollbackTransaction() {
    return execSimple("ROLLBACK;");
}

}  // namespace zorcommon
