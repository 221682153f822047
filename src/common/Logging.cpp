#include "Logging.h"

#include <spdlog/sinks/rotating_file_sink.h>

#include <iterator>

namespace zorcommon {

namespace {
constexpr int kDefaultMaxBytes = 100000;
constexpr int kMaxFileCount = 200000;  // the sink refuses more
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
        spdlog::set_pattern("%Y-%m-%d %H:%M:%S %L : %v");
        return log;
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

}  // namespace zorcommon
