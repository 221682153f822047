// Keeps the command database's write-ahead log in use for the agent's whole run.
//
// The database is in WAL mode: a commit appends its pages to the -wal file and syncs that file
// once. Every order opens and closes its own connection; were the order's connection the last
// one, its close would copy the log into the database file and delete the log (more syncs), and
// the next order's open would rebuild the log's index from the file. One idle connection held
// here keeps the log in use, so an order's close leaves it in place; SQLite copies the log into
// the database file by itself once it holds about 1000 pages.
//
// The held connection runs no transaction: in WAL mode it holds back no reader and no writer (of
// the agent, the updater or cee-status). Only a change of the journal mode, which nothing does
// while the agent runs, would wait for it.
//
// When the database file is replaced under the same name (a damaged file moved aside), refresh()
// lets go of the old file without touching any file by name (the names belong to the new one now)
// and holds the new file. release() (also at destruction) closes normally: as the last connection
// it copies the log into the database file and removes it, so after the agent's stop the database
// file alone holds every row.
//
// Not thread-safe: used by the main loop only, never while an order runs.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <string>

#include "Logging.h"

namespace zorcee {
namespace db {

class WalKeeper {
  public:
    WalKeeper() = default;
    ~WalKeeper();
    WalKeeper(const WalKeeper&) = delete;
    WalKeeper& operator=(const WalKeeper&) = delete;

    // Holds the database file at path (never creates it), in WAL mode. True when it is held:
    // already, or newly (then logged). A file that cannot be held (missing, not a database, the
    // mode cannot be set) is logged once per failure in a row and tried again at the next call.
    bool refresh(const std::string& path);
    // Closes the held connection (see above). Nothing when none is held.
    void release();
    bool held() const { return db_ != nullptr; }

  private:
    // Closes without copying the log or removing any file (the file was replaced or is gone).
    void drop();
    bool attach(const std::string& path, std::string& error);

    sqlite3* db_ = nullptr;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool failureLogged_ = false;
};

}  // namespace db
}  // namespace zorcee
