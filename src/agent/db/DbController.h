// The agent's database controller: owns the command database's schema and creates the file at
// the first start; commands open one controller each for their own work.
//
// Connection, lock file (db_cee.lock, "[RW]") and transactions come from DbControllerBase.
// One controller per piece of work, on one thread; the user calls close() when done.
#pragma once

#include <string>

#include "DbControllerBase.h"
#include "SQLiteStmtMaker.h"

namespace zorcee {
namespace db {

using zorcommon::DbLock;
using zorcommon::setupLockFiles;
using zorcommon::SQLiteStmtMaker;

class DbController : public zorcommon::DbControllerBase {
  public:
    static constexpr const char* kDbVersion = "1.0";

    DbController();

    // 0 the database exists or was created; 1 directory or file name empty; 2 creation failed.
    // Removes a leftover agent lock file; never touches the updater's.
    int init(const std::string& dbDir, const std::string& dbFile, const std::string& lockCee,
             const std::string& lockUpd);
    // Creates the directory, the five tables and the version row; deletes the file again
    // when any statement fails.
    bool createDbFile();
};

}  // namespace db
}  // namespace zorcee
