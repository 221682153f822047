#include "WalKeeper.h"

#include <sys/stat.h>

#include "DbController.h"
#include "DbControllerBase.h"

namespace zorcee {
namespace db {

namespace {
// Whether path names the file (device, inode) now.
bool sameFile(const std::string& path, dev_t dev, ino_t ino) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}
}  // namespace

WalKeeper::~WalKeeper() {
    release();
}

bool WalKeeper::refresh(const std::string& path) {
    if (db_ != nullptr && path == path_ && sameFile(path_, dev_, ino_)) {
        return true;
    }
    drop();
    const zorcommon::Logger log = spdlog::get("cee");
    std::string error;
    if (!attach(path, error)) {
        drop();
        if (!failureLogged_) {
            ZLOG_W(log, "[{}:{}] in WalKeeper : write-ahead log of {} not held : {}", path, error);
            zorcommon::flushLog(log);
            failureLogged_ = true;
        }
        return false;
    }
    failureLogged_ = false;
    ZLOG_I(log, "[{}:{}] in WalKeeper : write-ahead log of {} held", path);
    zorcommon::flushLog(log);
    return true;
}

bool WalKeeper::attach(const std::string& path, std::string& error) {
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) {
        error = "no database file";
        return false;
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open";
        return false;
    }
    sqlite3_busy_timeout(db_, zorcommon::busyTimeoutMs());
    // Setting the mode reads the file and maps the log's index: from here on the log counts as
    // in use.
    if (!setWalMode(db_)) {
        error = std::string("journal mode not WAL : ") + sqlite3_errmsg(db_);
        return false;
    }
    // The file checked is the file opened: it was not replaced in between.
    if (!sameFile(path, before.st_dev, before.st_ino)) {
        error = "database file replaced while it was opened";
        return false;
    }
    path_ = path;
    dev_ = before.st_dev;
    ino_ = before.st_ino;
    return true;
}

void WalKeeper::drop() {
    if (db_ != nullptr) {
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void WalKeeper::release() {
    if (db_ != nullptr && sameFile(path_, dev_, ino_)) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    drop();
}

}  // namespace db
}  // namespace zorcee
