// The agent's database controller: owns the command database's schema and creates the file at
// the first start; commands open one controller each for their own work.
//
// Connection, lock file (db_cee.lock, "[RW]") and transactions come from DbControllerBase.
// One controller per piece of work, on one thread; the user calls close() when done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DbControllerBase.h"
#include "SQLiteStmtMaker.h"

namespace zorcee {
namespace db {

using zorcommon::DbLock;
using zorcommon::setupLockFiles;
using zorcommon::SQLiteStmtMaker;

// The agent's process-wide SQLite set-up, before anything of SQLite is used: every connection
// is used by one thread at a time (an order's on the order thread, the others on the main
// thread), so SQLite's own locking of each connection is left out; and SQLite keeps no
// statistics of its memory, which cost a global lock around each of its several hundred
// allocations per order. False when SQLite was already in use (the settings stay as they are).
bool configureSqlite();

// Puts an open database in WAL mode (a property of the file, kept for every later connection of
// every program). True when it is in that mode afterwards.
bool setWalMode(sqlite3* db);

class DbController : public zorcommon::DbControllerBase {
  public:
    static constexpr const char* kDbVersion = "1.0";

    DbController();

    // 0 the database exists or was created; 1 directory or file name empty; 2 creation failed.
    // Removes a leftover agent lock file; never touches the updater's. The database is put in
    // WAL mode (an earlier version's file too); where that fails (the file locked), it is logged
    // and the database still works with its rollback journal.
    int init(const std::string& dbDir, const std::string& dbFile, const std::string& lockCee,
             const std::string& lockUpd);
    // Creates the directory, the five tables and the version row, and sets WAL mode; deletes
    // the file again when any statement fails.
    bool createDbFile();

    // Row operations; each is one statement on an open controller, and transactions are the
    // caller's. Text is bound with its length and copied by SQLite.

    // Row ids are 64-bit throughout (SQLite's rowid range).
    // Records a received order; "/" in the timestamp become "-". The new id (read back by
    // name and time), -1 when the insert failed, 0 when the id could not be read. A new id is
    // also handed to the row listener, if one is set.
    std::int64_t insertCommandInfoBasic(const std::string& commandName, const std::string& recvXml,
                                        const std::string& serverTimeStr);
    // Records an order's outcome. 1, or -1.
    int updateCommandInfoAtId(std::int64_t id, const std::string& resErrorStr, int resResult,
                              const std::string& resResultStr);
    // Records the update order's identity and schedule. 1, or -1.
    int updateCommandInfoForUpd(std::int64_t id, const std::string& updCommandId,
                                const std::string& updCmdReqId, int updCommandType,
                                const std::string& updSchedExecTime);
    // One package_list row per entry ("dir/file_version_arch.deb"), seq_no 1, 2, ... per order.
    // Rows inserted, or -1 at the first failure (earlier rows stay for the caller to roll back).
    int insertPackageList(std::int64_t id, const std::string& removeDir,
                          const std::vector<std::string>& entries);
    // Appends to foundIds the ids of cancelIds recorded as update command ids. Count, or -2.
    int selectCommandInfoForCancel(const std::vector<std::string>& cancelIds,
                                   std::vector<std::string>& foundIds);
    // One cancel_cid_list row per cancel id, is_cancel 1 when it is in foundIds. Count, or -1.
    int insertCancelCidList(std::int64_t id, const std::vector<std::string>& cancelIds,
                            const std::vector<std::string>& foundIds);
    // Marks pending runs (state 0) of orders with this update command id as superseded (5).
    int updateProcInfo(const std::string& updCommandId);
    // Adds the first run of an update order. 1, or -1.
    int insertProcInfo(std::int64_t id, const std::string& schedProcTime);

    // Called with the id of every command_info row this process inserts, on the inserting
    // thread (the agent notes it beside the running order's receipt). Set before orders run.
    using RowListener = void (*)(std::int64_t id);
    static void setRowListener(RowListener listener);

  protected:
    // A file that is not a database (overwritten, damaged) is moved aside under a timestamped
    // name, never deleted, with its journal or write-ahead log, logged at error level, and a new
    // database made.
    bool replaceDamagedFile() override;

  private:
    // Sets WAL mode on an existing database through a connection of its own, and logs it.
    void useWriteAheadLog();
    // Binds text (length-exact) and logs the position and SQLite's code. SQLite copies the
    // text unless `outlivesStmt` says that `value` stays unchanged until the statement is
    // finalized (for requests and answers of megabytes, which SQLite copies into its record
    // anyway).
    void bindText(const char* op, sqlite3_stmt* stmt, int pos, const std::string& value,
                  bool logValue = false, bool outlivesStmt = false);
    void bindInt(const char* op, sqlite3_stmt* stmt, int pos, std::int64_t value);
};

}  // namespace db
}  // namespace zorcee
