// The receipt spool: every order this terminal is to execute is kept as a file from the moment
// it is received until its answer has been handed to the MQTT library, so that neither a stop,
// a failed start nor a crash loses it, and none is executed twice.
//
// Layout of the spool folder (created 0700): one file per order, named by a 20-digit arrival
// number so that names sort in arrival order.
//   N.order   received, not started
//   N.run     started (renamed from N.order before the order runs)
//   N.row     the command_info row id the order wrote (decimal), beside N.run
//   N.tmp     a file being written; whole files only ever appear through rename
// Every file is written to a temporary name, fsync'ed and renamed, and the folder is fsync'ed
// after each rename, so after a crash or power loss a file is either whole or absent.
//
// Bounds: at most maxOrders files and maxBytes of order text at a time; add() refuses more.
//
// Thread-safety: all operations may be called from any thread (one internal mutex). The MQTT
// delivery thread adds, the main loop takes, marks and removes. No operation throws but for
// memory exhaustion.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zorcee {

class ReceiptSpool {
  public:
    enum class AddResult { Added, Full, Failed };

    // An order found in or taken from the spool.
    struct Entry {
        std::uint64_t seq = 0;
        std::string text;
        std::int64_t rowId = 0;  // 0: no row recorded
    };

    ReceiptSpool(std::string dir, std::size_t maxOrders, std::uint64_t maxBytes);
    ReceiptSpool(const ReceiptSpool&) = delete;
    ReceiptSpool& operator=(const ReceiptSpool&) = delete;

    // Creates the folder (0700) if missing, removes half-written files and reads what an
    // earlier run left: orders never started (kept in arrival order for next()) and orders
    // started but not finished (returned by interrupted()). False, with a text naming the
    // folder, when the folder cannot be created, read or written.
    bool open(std::string& error);

    // Stores an order durably. Full when the bounds are reached, Failed when it cannot be
    // written (error holds the reason).
    AddResult add(std::string_view text, std::string& error);

    // Orders that were started but not finished when the spool was opened, in arrival order.
    // Handed out once; the files stay until remove().
    std::vector<Entry> takeInterrupted();

    // The oldest order not started yet, read back from its file. False when there is none.
    // An order whose file cannot be read is dropped (its file removed) and the next one taken.
    bool next(Entry& entry);

    // Marks the order as started (N.order -> N.run). False when the rename failed.
    bool markStarted(std::uint64_t seq);
    // Records the command_info row id the running order wrote.
    bool setRowId(std::uint64_t seq, std::int64_t rowId);
    // Forgets the order: removes its files.
    void remove(std::uint64_t seq);

    // Orders held (not started, running or interrupted) and their size in bytes.
    std::size_t count() const;
    std::uint64_t bytes() const;
    const std::string& dir() const { return dir_; }

  private:
    std::string path(std::uint64_t seq, const char* suffix) const;
    bool writeFileAtomically(const std::string& target, std::string_view text,
                             std::string& error) const;
    void syncDir() const;

    const std::string dir_;
    const std::size_t maxOrders_;
    const std::uint64_t maxBytes_;

    mutable std::mutex mu_;
    std::uint64_t nextSeq_ = 1;
    // Orders not started, oldest first, with their size.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> waiting_;
    std::vector<Entry> interrupted_;
    // Size of every order held, by number (waiting, running and interrupted).
    std::map<std::uint64_t, std::uint64_t> sizes_;
    std::uint64_t bytes_ = 0;
};

}  // namespace zorcee
