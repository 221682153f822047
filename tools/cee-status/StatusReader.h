// Reading side of cee-status: one consistent snapshot of the command database, and the result
// files of the updater.
//
// The database is opened read-only (never created, never written, no lock file) and read inside
// one read transaction. A writer of the agent or the updater that holds its write lock does not
// stop the reader; while a writer commits, the reader waits up to the busy time-out. The
// transaction ends before anything is formatted, because the agent and the updater have no
// busy time-out of their own: a commit of theirs fails while a reader still holds its lock.
#pragma once

#include <string>
#include <vector>

#include "StatusData.h"

namespace zorstatus {

enum ReadResult {
    kReadOk = 0,
    kReadMissing = 1,      // no file of that name (nothing is created)
    kReadOpenFailed = 2,   // the file cannot be opened as a database
    kReadBusy = 3,         // still locked by a writer after the busy time-out
    kReadQueryFailed = 4,  // not a command database, or damaged
};

constexpr int kDefaultBusyTimeoutMs = 2000;

// Fills snapshot with the last orderLimit orders and every update job. On failure error holds a
// one-line reason.
int readSnapshot(const std::string& dbPath, int orderLimit, int busyTimeoutMs, Snapshot& snapshot,
                 std::string& error);

// One entry per name, in the given order, present or not.
std::vector<ResultFile> readResultFiles(const std::string& dir,
                                        const std::vector<std::string>& names);

}  // namespace zorstatus
