#include "ReceiptSpool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FileUtil.h"

namespace zorcee {

namespace {
constexpr int kSeqDigits = 20;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Whole file, never through a link. False when it cannot be read.
bool readFile(const std::string& path, std::string& out) {
    const FdCloser f{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (f.fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// Splits "00000000000000000042.order" into 42 and "order"; false for any other name.
bool parseName(const char* name, std::uint64_t& seq, std::string& suffix) {
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr || dot - name != kSeqDigits) {
        return false;
    }
    seq = 0;
    for (const char* p = name; p != dot; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        seq = seq * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    suffix = dot + 1;
    return true;
}

// FNV-1a over topic, a separator and text: the digest by which recent receipts are known.
std::uint64_t receiptDigest(std::string_view topic, std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    auto mix = [&h](std::string_view part) {
        for (const char c : part) {
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
    };
    mix(topic);
    mix(std::string_view("\0", 1));
    mix(text);
    return h;
}

// An answer written in place into its N.out file ends with this trailer: a mark, the answer's
// length and its digest (each 8 bytes, little-endian). A file without a whole, matching trailer
// holds no answer (a write cut off by a crash or power loss).
constexpr char kAnswerMark[8] = {'c', 'e', 'e', 'a', 'n', 's', '0', '1'};
constexpr std::size_t kTrailerSize = 24;

std::uint64_t answerDigest(std::string_view answer) {
    return receiptDigest(std::string_view(), answer);
}

void putLittleEndian(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

std::uint64_t getLittleEndian(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

std::string trailerOf(std::string_view answer) {
    std::string out(kAnswerMark, sizeof kAnswerMark);
    putLittleEndian(out, answer.size());
    putLittleEndian(out, answerDigest(answer));
    return out;
}

// Writes all of text at the file's position. False (errno set) when a write fails.
bool writeAll(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The answer an N.out file holds (its text without the trailer); false when it holds none.
bool answerOf(std::string& file) {
    if (file.size() < kTrailerSize) {
        return false;
    }
    const std::size_t length = file.size() - kTrailerSize;
    const char* trailer = file.data() + length;
    if (std::memcmp(trailer, kAnswerMark, sizeof kAnswerMark) != 0 ||
        getLittleEndian(trailer + 8) != length ||
        getLittleEndian(trailer + 16) != answerDigest(std::string_view(file.data(), length))) {
        return false;
    }
    file.resize(length);
    return true;
}

// unlink that counts a file already gone as removed.
bool unlinkGone(const std::string& file) {
    return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}
}  // namespace

ReceiptSpool::ReceiptSpool(std::string dir, std::size_t maxOrders, std::uint64_t maxBytes)
    : dir_(std::move(dir)), maxOrders_(maxOrders), maxBytes_(maxBytes) {}

std::string ReceiptSpool::path(std::uint64_t seq, const char* suffix) const {
    char name[kSeqDigits + 16];
    std::snprintf(name, sizeof name, "%020" PRIu64 ".%s", seq, suffix);
    return dir_ + "/" + name;
}

void ReceiptSpool::syncDir() const {
    const FdCloser d{::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd >= 0) {
        ::fsync(d.fd);
    }
}

bool ReceiptSpool::writeFileAtomically(const std::string& target, std::string_view text, bool sync,
                                       std::string& error) const {
    const std::string tmp = target.substr(0, target.rfind('.')) + ".tmp";
    {
        const FdCloser f{
            ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (f.fd < 0) {
            error = errnoText("cannot create " + tmp);
            return false;
        }
        if (!writeAll(f.fd, text)) {
            error = errnoText("cannot write " + tmp);
            ::unlink(tmp.c_str());
            return false;
        }
        if (sync && ::fsync(f.fd) != 0) {
            error = errnoText("cannot sync " + tmp);
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        error = errnoText("cannot rename " + tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    if (sync) {
        syncDir();
    }
    return true;
}

bool ReceiptSpool::writeAnswerInPlace(const std::string& target, std::string_view answer,
                                      std::string& error) const {
    const FdCloser f{::open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC)};
    if (f.fd < 0) {
        error = errnoText("cannot open " + target);
        return false;
    }
    // The file's name is on the disk since the order's arrival: syncing its data is enough.
    if (!writeAll(f.fd, answer) || !writeAll(f.fd, trailerOf(answer))) {
        error = errnoText("cannot write " + target);
    } else if (::fdatasync(f.fd) != 0) {
        error = errnoText("cannot sync " + target);
    } else {
        return true;
    }
    // No half answer stays behind (it would count as none, but takes room): the file is emptied.
    if (::ftruncate(f.fd, 0) != 0) {
        error += " (not emptied)";
    }
    return false;
}

bool ReceiptSpool::open(std::string& error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (dir_.empty()) {
        error = "no spool folder set";
        return false;
    }
    // The furthest state each order reached: "order" < "run" < "ans" (sorted by name), and
    // "out" when its N.out holds an answer.
    std::map<std::uint64_t, std::string> found;
    std::map<std::uint64_t, std::int64_t> rows;
    std::set<std::uint64_t> outs;
    if (!prepareFolder(error) || !listFolder(found, rows, outs, error)) {
        return false;
    }
    takeAnswerFiles(found, outs);
    loadEntries(found, rows);
    return true;
}

bool ReceiptSpool::prepareFolder(std::string& error) {
    struct stat st {};
    if (::lstat(dir_.c_str(), &st) != 0) {
        const std::string parent = dir_.substr(0, dir_.find_last_of('/'));
        if (!parent.empty()) {
            zorcommon::makeDirectories(parent);
        }
        if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errnoText("cannot create spool folder " + dir_);
            return false;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        error = "spool folder " + dir_ + " is not a directory";
        return false;
    }
    // Orders may hold credentials or device commands: only the agent's user reads them.
    if (::chmod(dir_.c_str(), 0700) != 0) {
        error = errnoText("cannot set the mode of spool folder " + dir_);
        return false;
    }
    // Writing is proven by writing: a read-only folder must stop the start, not the first order.
    const std::string probe = dir_ + "/.probe";
    {
        const FdCloser f{
            ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (f.fd < 0) {
            error = errnoText("cannot write spool folder " + dir_);
            return false;
        }
    }
    ::unlink(probe.c_str());
    return true;
}

bool ReceiptSpool::listFolder(std::map<std::uint64_t, std::string>& found,
                              std::map<std::uint64_t, std::int64_t>& rows,
                              std::set<std::uint64_t>& outs, std::string& error) {
    const std::unique_ptr<DIR, DirCloser> d(::opendir(dir_.c_str()));
    if (!d) {
        error = errnoText("cannot read spool folder " + dir_);
        return false;
    }
    for (;;) {
        // readdir gives NULL both at the end and on an error; only errno tells them apart. A
        // listing cut short would leave orders behind, so an error fails the open.
        errno = 0;
        const dirent* e = ::readdir(d.get());
        if (e == nullptr) {
            if (errno != 0) {
                error = errnoText("cannot read spool folder " + dir_);
                return false;
            }
            break;
        }
        std::uint64_t seq = 0;
        std::string suffix;
        if (!parseName(e->d_name, seq, suffix)) {
            continue;
        }
        if (suffix == "tmp") {
            ::unlink((dir_ + "/" + e->d_name).c_str());  // never renamed: not received
        } else if (suffix == "order" || suffix == "run" || suffix == "ans") {
            // "run" and "ans" sort after "order"; "ans" wins over both.
            std::string& state = found[seq];
            if (suffix > state) {
                state = suffix;
            }
        } else if (suffix == "out") {
            outs.insert(seq);
        } else if (suffix == "row") {
            std::string text;
            if (readFile(dir_ + "/" + e->d_name, text)) {
                rows[seq] = std::strtoll(text.c_str(), nullptr, 10);
            }
        }
        if (seq >= nextSeq_) {
            nextSeq_ = seq + 1;
        }
    }
    return true;
}

void ReceiptSpool::takeAnswerFiles(std::map<std::uint64_t, std::string>& found,
                                   const std::set<std::uint64_t>& outs) {
    for (const std::uint64_t seq : outs) {
        const auto it = found.find(seq);
        std::string text;
        if (readFile(path(seq, "out"), text) && answerOf(text)) {
            found[seq] = "out";  // the stored answer wins over the order's own file
        } else if (it == found.end()) {
            ::unlink(path(seq, "out").c_str());  // a place for an answer to an order gone
        }
    }
}

void ReceiptSpool::loadEntries(const std::map<std::uint64_t, std::string>& found,
                               const std::map<std::uint64_t, std::int64_t>& rows) {
    waiting_.clear();
    interrupted_.clear();
    answers_.clear();
    sizes_.clear();
    bytes_ = 0;
    for (const auto& [seq, state] : found) {
        struct stat fs {};
        const std::string file = path(seq, state.c_str());
        if (::lstat(file.c_str(), &fs) != 0 || !S_ISREG(fs.st_mode)) {
            continue;
        }
        if (state == "order") {
            waiting_.push_back(seq);
        } else {
            Entry entry;
            entry.seq = seq;
            entry.rowId = rows.count(seq) != 0 ? rows.at(seq) : 0;
            if (state == "run") {
                // An unreadable file is still answered: with what of it can be read.
                readFile(file, entry.text);
                interrupted_.push_back(std::move(entry));
            } else {
                answers_.push_back(std::move(entry));  // read when it is published
            }
        }
        const auto size = static_cast<std::uint64_t>(fs.st_size);
        setSize(seq, state == "out" ? size - kTrailerSize : size);
    }
    // Row files whose order is gone (removed before its row file) are of no use.
    for (const auto& row : rows) {
        if (found.count(row.first) == 0) {
            ::unlink(path(row.first, "row").c_str());
        }
    }
}

void ReceiptSpool::setSize(std::uint64_t seq, std::uint64_t size) {
    std::uint64_t& held = sizes_[seq];
    bytes_ = bytes_ - held + size;
    held = size;
}

void ReceiptSpool::remember(std::uint64_t key) {
    const auto now = Clock::now();
    while (!recent_.empty() && (recent_.size() >= kRecentReceipts ||
                                now - recent_.front().second > kRecentReceiptAge)) {
        recentKeys_.erase(recent_.front().first);
        recent_.pop_front();
    }
    if (recentKeys_.insert(key).second) {
        recent_.emplace_back(key, now);
    }
}

ReceiptSpool::AddResult ReceiptSpool::add(std::string_view topic, std::string_view text,
                                          bool redelivered, std::string& error) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t key = receiptDigest(topic, text);
    if (redelivered && recentKeys_.count(key) != 0) {
        return AddResult::Duplicate;
    }
    const auto size = static_cast<std::uint64_t>(text.size());
    if (sizes_.size() >= maxOrders_ || bytes_ + size > maxBytes_) {
        error = "order spool full (" + std::to_string(sizes_.size()) + " orders, " +
                std::to_string(bytes_) + " bytes held; at most " + std::to_string(maxOrders_) +
                " orders and " + std::to_string(maxBytes_) + " bytes)";
        return AddResult::Full;
    }
    const std::uint64_t seq = nextSeq_;
    if (!writeOrder(seq, text, error) && !(restoreLocked() && writeOrder(seq, text, error))) {
        return AddResult::Failed;
    }
    ++nextSeq_;
    remember(key);
    waiting_.push_back(seq);
    setSize(seq, size);
    return AddResult::Added;
}

bool ReceiptSpool::writeOrder(std::uint64_t seq, std::string_view text, std::string& error) const {
    // The answer's file is made empty beside the order, before the folder sync that makes the
    // order's name durable: that one sync covers both names. Without it (it cannot be made), the
    // answer is stored in a file of its own later.
    const std::string out = path(seq, "out");
    const FdCloser placeholder{
        ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (!writeFileAtomically(path(seq, "order"), text, true, error)) {
        ::unlink(out.c_str());
        return false;
    }
    return true;
}

std::vector<ReceiptSpool::Entry> ReceiptSpool::takeInterrupted() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Entry> out;
    out.swap(interrupted_);
    return out;
}

std::vector<ReceiptSpool::Entry> ReceiptSpool::takeAnswers() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Entry> out;
    out.swap(answers_);
    return out;
}

bool ReceiptSpool::next(Entry& entry) {
    std::unique_lock<std::mutex> lock(mu_);
    while (!waiting_.empty()) {
        const std::uint64_t seq = waiting_.front();
        waiting_.pop_front();
        const std::string file = path(seq, "order");
        // The file is read without the lock: adds go on meanwhile.
        lock.unlock();
        Entry taken;
        taken.seq = seq;
        const bool ok = readFile(file, taken.text);
        lock.lock();
        if (ok) {
            entry = std::move(taken);
            return true;
        }
        ::unlink(file.c_str());
        ::unlink(path(seq, "out").c_str());
        bytes_ -= sizes_[seq];
        sizes_.erase(seq);
    }
    return false;
}

bool ReceiptSpool::markStarted(std::uint64_t seq, std::string& error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (::rename(path(seq, "order").c_str(), path(seq, "run").c_str()) != 0) {
        error = errnoText("cannot mark the order as started in " + dir_);
        return false;
    }
    syncDir();
    return true;
}

bool ReceiptSpool::setRowId(std::uint64_t seq, std::int64_t rowId) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string error;
    return writeFileAtomically(path(seq, "row"), std::to_string(rowId), false, error);
}

bool ReceiptSpool::storeAnswer(std::uint64_t seq, std::string_view answer, std::string& error) {
    std::lock_guard<std::mutex> lock(mu_);
    // Into the empty file made at the order's arrival; an order without one (received by an
    // earlier version, or its file could not be made) gets a file of its own.
    const std::string out = path(seq, "out");
    struct stat st {};
    if (::lstat(out.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (!writeAnswerInPlace(out, answer, error)) {
            return false;
        }
    } else if (!writeFileAtomically(path(seq, "ans"), answer, true, error) &&
               !(restoreLocked() && writeFileAtomically(path(seq, "ans"), answer, true, error))) {
        return false;
    }
    // The answer is the order's record now; what it replaces may go without a sync.
    ::unlink(path(seq, "run").c_str());
    ::unlink(path(seq, "order").c_str());
    ::unlink(path(seq, "row").c_str());
    setSize(seq, static_cast<std::uint64_t>(answer.size()));
    return true;
}

bool ReceiptSpool::readAnswer(std::uint64_t seq, std::string& answer) const {
    return ((readFile(path(seq, "out"), answer) && answerOf(answer)) ||
            readFile(path(seq, "ans"), answer)) &&
           !answer.empty();
}

bool ReceiptSpool::unlinkAll(std::uint64_t seq) const {
    // The answer goes after the order's own files (a crash in between publishes the same answer
    // once more, never a different one) and before the row file (one left alone is cleaned up
    // by the next open()).
    bool gone = true;
    for (const char* suffix : {"run", "order", "ans", "out", "row"}) {
        gone = unlinkGone(path(seq, suffix)) && gone;
    }
    return gone;
}

void ReceiptSpool::remove(std::uint64_t seq) {
    std::lock_guard<std::mutex> lock(mu_);
    // No folder sync: an acknowledged answer that reappears after a power loss is published
    // once more, identical.
    if (!unlinkAll(seq)) {
        unremoved_.insert(seq);
    }
    const auto it = sizes_.find(seq);
    if (it != sizes_.end()) {
        bytes_ -= it->second;
        sizes_.erase(it);
    }
}

void ReceiptSpool::tidy() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = unremoved_.begin(); it != unremoved_.end();) {
        it = unlinkAll(*it) ? unremoved_.erase(it) : std::next(it);
    }
}

bool ReceiptSpool::restoreLocked() {
    struct stat st {};
    if (::lstat(dir_.c_str(), &st) == 0 || errno != ENOENT) {
        return false;
    }
    zorcommon::makeDirectories(dir_.substr(0, dir_.find_last_of('/')));
    if (::mkdir(dir_.c_str(), 0700) != 0) {
        return false;
    }
    restored_ = true;
    lost_ += waiting_.size();
    for (const std::uint64_t seq : waiting_) {
        bytes_ -= sizes_[seq];
        sizes_.erase(seq);
    }
    waiting_.clear();
    return true;
}

bool ReceiptSpool::restoreFolder(std::size_t& lost) {
    std::lock_guard<std::mutex> lock(mu_);
    restoreLocked();
    const bool restored = restored_;
    lost = lost_;
    restored_ = false;
    lost_ = 0;
    return restored;
}

std::size_t ReceiptSpool::count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sizes_.size();
}

std::uint64_t ReceiptSpool::bytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_;
}

}  // namespace zorcee
