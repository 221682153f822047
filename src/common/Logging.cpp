#include "Logging.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <cstring>
#include <ctime>
#include <iterator>

namespace zorcommon {

namespace {
constexpr int kDefaultMaxBytes = 100000;
constexpr int kMaxFileCount = 200000;  // the sink refuses more

// Writes "%Y-%m-%d %H:%M:%S %L : %v" and the line end, as spdlog's pattern of that text does
// (local time, the level's one-letter name). The date and time are formatted once per second
// and the rest appended as it is: the pattern formatter's general path costs several times
// more per line, and an order writes some sixty lines.
class LineFormatter final : public spdlog::formatter {
  public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        const std::time_t secs = std::chrono::system_clock::to_time_t(msg.time);
        if (secs != cachedSecs_ || stampLength_ == 0) {
            const std::tm tm = spdlog::details::os::localtime(secs);
            stampLength_ = std::strftime(stamp_, sizeof stamp_, "%Y-%m-%d %H:%M:%S ", &tm);
            cachedSecs_ = secs;
        }
        dest.append(stamp_, stamp_ + stampLength_);
        const char* level = spdlog::level::to_short_c_str(msg.level);
        dest.append(level, level + std::strlen(level));
        dest.append(kSeparator, kSeparator + sizeof kSeparator - 1);
        dest.append(msg.payload.data(), msg.payload.data() + msg.payload.size());
        dest.append(kEol, kEol + sizeof kEol - 1);
    }
    std::unique_ptr<spdlog::formatter> clone() const override {
        return std::make_unique<LineFormatter>();
    }

  private:
    static constexpr char kSeparator[] = " : ";
    static constexpr char kEol[] = SPDLOG_EOL;
    std::time_t cachedSecs_ = 0;
    char stamp_[32] = {};
    size_t stampLength_ = 0;
};

// True for the bytes appendLogText writes as they are (printable ASCII and UTF-8 bytes other
// than a C1 control's lead byte 0xC2, which is looked at with the byte after it).
bool plainByte(unsigned char c) {
    return c >= 0x20 && c != 0x7F && c != 0xC2;
}
}  // namespace

void appendLogText(std::string_view text, fmt::memory_buffer& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t shown = text.size();
    if (shown > kLogPayloadBytes) {
        shown = kLogPayloadBytes;
        // Cut before a multi-byte character rather than through it.
        for (size_t back = 0;
             back < 3 && shown > 0 && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80;
             ++back) {
            --shown;
        }
    }
    auto escapeByte = [&out](unsigned char c) {
        const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, esc + 4);
    };
    for (size_t i = 0; i < shown; ++i) {
        // A run of bytes shown as they are goes in at once.
        size_t run = i;
        while (run < shown && plainByte(static_cast<unsigned char>(text[run]))) {
            ++run;
        }
        if (run > i) {
            out.append(text.data() + i, text.data() + run);
            i = run - 1;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out.append(std::string_view("\\n"));
        } else if (c == '\r') {
            out.append(std::string_view("\\r"));
        } else if (c == '\t') {
            out.append(std::string_view("\\t"));
        } else if (c < 0x20 || c == 0x7F) {
            escapeByte(c);
        } else if (c == 0xC2 && i + 1 < shown &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            // U+0080..U+009F: terminals take some of them as control sequences too.
            escapeByte(c);
            escapeByte(static_cast<unsigned char>(text[++i]));
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (shown < text.size()) {
        fmt::format_to(std::back_inserter(out), " ... ({} bytes)", text.size());
    }
}

Logger createRotatingLogger(const std::string& name, const std::string& dir,
                            const std::string& file, int maxBytes, int fileCount,
                            std::string& error) {
    // The sink refuses a zero size and huge file counts; a negative value from the settings
    // file would turn into a huge unsigned one. Fall back to sane values instead of not
    // starting at all.
    const size_t size = maxBytes > 0 ? static_cast<size_t>(maxBytes) : kDefaultMaxBytes;
    const size_t files =
        fileCount < 0 ? 0 : static_cast<size_t>(std::min(fileCount, kMaxFileCount));
    try {
        spdlog::drop(name);
        auto log = spdlog::rotating_logger_mt(name, dir + "/" + file, size, files);
        spdlog::set_formatter(std::make_unique<LineFormatter>());
        return log;
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

}  // namespace zorcommon
