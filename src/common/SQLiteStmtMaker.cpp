#include "SQLiteStmtMaker.h"

namespace zorcommon {

SQLiteStmtMaker::~SQLiteStmtMaker() {
    for (auto* stmt : stmts_) {
        sqlite3_finalize(stmt);
    }
}

sqlite3_stmt* SQLiteStmtMaker::prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (db_ == nullptr || sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    stmts_.push_back(stmt);
    return stmt;
}

}  // namespace zorcommon
