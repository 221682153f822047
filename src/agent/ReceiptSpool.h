// The receipt spool: the one durable record of every order this terminal is to execute, from
// the moment it is received until the broker has acknowledged its answer, so that neither a
// stop, a failed start nor a crash loses an order, runs it twice or answers it two ways.
//
// Life of an order, one number N per order (20 digits, so names sort in arrival order):
//   N.order   received, not started
//   N.out     made empty beside N.order at its arrival; the answer is later written into it
//   N.run     started (renamed from N.order before the order runs); N.row beside it holds the
//             command_info row id the order wrote (decimal)
//   N.out     with an answer: answer stored (the answer text and a trailer: a mark, its length
//             and digest); written before the answer is first published, and from then on the
//             order's record (N.run and N.row go). Removed once the broker acknowledged it.
//   N.ans     the answer in a file of its own, for an order without N.out (received by an
//             earlier version, or N.out could not be made); read as before
//   N.tmp     a file being written; whole files only ever appear through rename
// Syncs per order: the order file and the folder at arrival (the folder sync also makes N.out's
// name durable), the folder after the started mark, N.out's data when the answer is written
// into it. So after a crash or power loss each file is whole or absent, and N.out holds a whole
// answer (its trailer matches) or none. An N.ans is written to a temporary name, fsync'ed and
// renamed, and the folder fsync'ed. N.row is written without a sync: it is a hint for the row of
// an interrupted order, and a power loss that drops it only leaves that row unmarked.
//
// At open(): an N.out with a whole answer, or an N.ans, is an answer to publish (again); an N.run
// without one was cut off while running (interrupted); an N.order waits to run.
//
// Bounds: at most maxOrders orders and maxBytes of order and answer text at a time; add()
// refuses more. Recent receipts (the last kRecentReceipts for kRecentReceiptAge) are
// remembered by digest, so that a redelivered copy of an order is recognised.
//
// Thread-safety: all operations may be called from any thread (one internal mutex). The MQTT
// delivery thread adds, the main loop takes, marks, stores answers and removes. No operation
// throws but for memory exhaustion.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zorcee {

class ReceiptSpool {
  public:
    enum class AddResult { Added, Full, Failed, Duplicate };

    static constexpr std::size_t kRecentReceipts = 1000;
    static constexpr std::chrono::hours kRecentReceiptAge{24};

    // An order found in or taken from the spool. For a stored answer (takeAnswers()) text is
    // empty: the answer stays on disk until readAnswer().
    struct Entry {
        std::uint64_t seq = 0;
        std::string text;
        std::int64_t rowId = 0;  // 0: no row recorded
    };

    ReceiptSpool(std::string dir, std::size_t maxOrders, std::uint64_t maxBytes);
    ReceiptSpool(const ReceiptSpool&) = delete;
    ReceiptSpool& operator=(const ReceiptSpool&) = delete;

    // Creates the folder (0700) if missing, removes half-written files and reads what an
    // earlier run left: orders never started (kept in arrival order for next()), orders
    // started but not finished (takeInterrupted()) and stored answers (takeAnswers()). False,
    // with a text naming the folder, when the folder cannot be created, read or written.
    bool open(std::string& error);

    // Stores an order durably. Full when the bounds are reached, Failed when it cannot be
    // written (error holds the reason), Duplicate (nothing stored) when `redelivered` is set
    // and the same topic and text were received recently.
    AddResult add(std::string_view topic, std::string_view text, bool redelivered,
                  std::string& error);

    // Found by open(), in arrival order; each handed out once, the files stay until remove().
    std::vector<Entry> takeInterrupted();
    std::vector<Entry> takeAnswers();

    // The oldest order not started yet, read back from its file. False when there is none.
    // An order whose file cannot be read is dropped (its file removed) and the next one taken.
    bool next(Entry& entry);

    // Marks the order as started (N.order -> N.run). False, with the reason, when it failed.
    bool markStarted(std::uint64_t seq, std::string& error);
    // Records the command_info row id the running order wrote.
    bool setRowId(std::uint64_t seq, std::int64_t rowId);
    // Stores the order's answer; from then on the order is "answered" whatever happens. False,
    // with the reason, when it cannot be written (the order keeps its earlier state).
    bool storeAnswer(std::uint64_t seq, std::string_view answer, std::string& error);
    // Reads a stored answer back. False when there is none or it cannot be read.
    bool readAnswer(std::uint64_t seq, std::string& answer) const;
    // Forgets the order (its answer was acknowledged): removes its files. Files that cannot be
    // removed now (read-only folder) are removed by a later tidy().
    void remove(std::uint64_t seq);
    // Retries the removals that failed.
    void tidy();
    // Makes the folder again (0700) if it was removed while the agent ran (add() does so too).
    // The orders not started whose files went with it are forgotten: how many since the last
    // call is returned in `lost`. True when the folder was made again since the last call.
    bool restoreFolder(std::size_t& lost);

    // Orders held (not started, running, interrupted or answered) and their size in bytes.
    std::size_t count() const;
    std::uint64_t bytes() const;
    const std::string& dir() const { return dir_; }

  private:
    // The steps of open, under the lock: the folder made, given mode 0700 and proven writable;
    // its files listed (half-written ones removed); the entries taken from them.
    bool prepareFolder(std::string& error);
    bool listFolder(std::map<std::uint64_t, std::string>& found,
                    std::map<std::uint64_t, std::int64_t>& rows, std::set<std::uint64_t>& outs,
                    std::string& error);
    // Marks the orders whose N.out holds a whole answer as answered ("out"); removes the N.out
    // files of orders gone.
    void takeAnswerFiles(std::map<std::uint64_t, std::string>& found,
                         const std::set<std::uint64_t>& outs);
    void loadEntries(const std::map<std::uint64_t, std::string>& found,
                     const std::map<std::uint64_t, std::int64_t>& rows);

    using Clock = std::chrono::steady_clock;

    std::string path(std::uint64_t seq, const char* suffix) const;
    bool writeFileAtomically(const std::string& target, std::string_view text, bool sync,
                             std::string& error) const;
    // N.order (synced, with the folder) and the empty N.out beside it.
    bool writeOrder(std::uint64_t seq, std::string_view text, std::string& error) const;
    // The answer and its trailer into the existing file, data synced; emptied again on failure.
    bool writeAnswerInPlace(const std::string& target, std::string_view answer,
                            std::string& error) const;
    void syncDir() const;
    bool unlinkAll(std::uint64_t seq) const;
    // The folder made again if it is gone (caller holds mu_); true when it was.
    bool restoreLocked();
    void setSize(std::uint64_t seq, std::uint64_t size);
    // Records a receipt's digest, forgetting those beyond the bounds. Caller holds mu_.
    void remember(std::uint64_t key);

    const std::string dir_;
    const std::size_t maxOrders_;
    const std::uint64_t maxBytes_;

    mutable std::mutex mu_;
    std::uint64_t nextSeq_ = 1;
    // Orders not started, oldest first.
    std::deque<std::uint64_t> waiting_;
    std::vector<Entry> interrupted_;
    std::vector<Entry> answers_;
    // Size of every order held, by number.
    std::map<std::uint64_t, std::uint64_t> sizes_;
    std::uint64_t bytes_ = 0;
    // Orders whose files could not all be removed.
    std::set<std::uint64_t> unremoved_;
    // Since the last restoreFolder(): whether the folder was made again, and orders lost.
    bool restored_ = false;
    std::size_t lost_ = 0;
    // Digests of recent receipts, oldest first, with their arrival time.
    std::deque<std::pair<std::uint64_t, Clock::time_point>> recent_;
    std::unordered_set<std::uint64_t> recentKeys_;
};

}  // namespace zorcee
