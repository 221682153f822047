// Prepared-statement holder: owns every statement it prepared and finalises them all when it
// goes out of scope, so a database operation releases its statements on every path.
// Does not own the connection. Not copyable; use one per operation, on one thread.
#pragma once

#include <sqlite3.h>

#include <vector>

namespace zorcommon {

class SQLiteStmtMaker {
  public:
    explicit SQLiteStmtMaker(sqlite3* db) : db_(db) {}
    virtual ~SQLiteStmtMaker();
    SQLiteStmtMaker(const SQLiteStmtMaker&) = delete;
    SQLiteStmtMaker& operator=(const SQLiteStmtMaker&) = delete;

    // Prepares the whole text. Null on failure; stepping a null statement fails with
    // SQLITE_MISUSE, which callers report as a failed step.
    sqlite3_stmt* prepare(const char* sql);

  private:
    sqlite3* db_;
    std::vector<sqlite3_stmt*> stmts_;
};

}  // namespace zorcommon
