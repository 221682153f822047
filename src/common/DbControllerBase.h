// Connection, lock-file and transaction handling shared by the agent's DbController and the
// updater's DbUpdController.
//
// open() first creates the program's own lock file (refused while another live instance holds
// it), then opens the existing database file (never creating it) with the process-wide busy
// time-out: a statement that meets another connection's lock waits up to that long, then fails
// with SQLITE_BUSY. Every connection commits with synchronous FULL: a commit is on the disk when
// it returns (in the agent's WAL mode, one sync of the log per commit). close() closes the
// connection and removes the lock file if this controller made it. A controller is used by one
// thread for one piece of work; if its user forgets close(), the destructor closes it.
#pragma once

#include <sqlite3.h>

#include <string>

#include "DbLock.h"
#include "Logging.h"

namespace zorcommon {

// Busy time-out of every connection opened afterwards (BUSY_TIMEOUT_MS, milliseconds; 0 = fail
// at once). A negative value selects the default. Set once at start-up.
constexpr int kDefaultBusyTimeoutMs = 3000;
void setBusyTimeoutMs(int ms);
int busyTimeoutMs();

// Whether the file of an open connection does not start as every database does. Read by hand,
// before SQLite reads it: in WAL mode SQLite may take the first page from the log and never look
// at a file overwritten in place. Read through the connection's own file handle: closing any
// other descriptor of the file would drop every lock this process holds on it (POSIX record
// locks), the agent's held log among them. An empty file counts as a database (SQLite makes
// one of it).
bool lacksDatabaseHeader(sqlite3* db);

class DbControllerBase {
  public:
    // unit: the file name printed in log lines; lockLabel: "RW" (agent) or "RO" (updater).
    DbControllerBase(const char* loggerName, const char* unit, const char* lockLabel,
                     DbLock& guard);
    virtual ~DbControllerBase();
    DbControllerBase(const DbControllerBase&) = delete;
    DbControllerBase& operator=(const DbControllerBase&) = delete;

    void setDbFilename(const std::string& dir, const std::string& file);
    // Whether the database file can be opened for reading.
    bool existsDbFile() const;

    bool open();
    bool open(const std::string& dir, const std::string& file);
    void close();

    bool beginTransaction();
    bool commitTransaction();
    bool rollbackTransaction();

    sqlite3* getDb() const { return db_; }
    const std::string& getDbPath() const { return dbPath_; }

  protected:
    bool execSimple(const char* sql);
    // Called by open() when repairDamaged_ is set and the file is not a database: moves it
    // aside and makes a new one; true when open() may try again. The base cannot.
    virtual bool replaceDamagedFile() { return false; }

    std::string dbDir_;
    std::string dbFile_;
    std::string dbPath_;
    Logger log_;
    sqlite3* db_ = nullptr;
    // open() creates a missing database file only when set (schema creation).
    bool createFile_ = false;
    // open() checks that the file is a database and replaces one that is not (the agent's).
    bool repairDamaged_ = false;
    // When not empty, run by open() on every connection after the settings of the base
    // (a program's own per-connection settings).
    const char* connectionPragmas_ = "";
    const char* loggerName_;
    const char* unit_;
    const char* lockLabel_;
    DbLock& guard_;
};

}  // namespace zorcommon
