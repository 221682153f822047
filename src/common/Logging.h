// Log set-up shared by both programs: one named, size-rotated file logger per program and the
// line pattern "%Y-%m-%d %H:%M:%S %L : %v".
//
// Every message starts with "[{}:{}]", filled with the base name of the writing source file and
// the line number. The ZLOG_* macros fill both from the call site; the ZLOG_UNIT_* forms take
// the unit name explicitly, for shared code that writes on behalf of a program's own unit.
// All functions are thread-safe (spdlog loggers are the _mt kind); a null logger is ignored.
//
// Every text argument of a log line (std::string, string_view, C string) is written through
// LogText: at most its first kLogPayloadBytes bytes, followed by " ... (N bytes)" when it is
// longer, with control characters escaped ("\n", "\r", "\t", "\x1b", also the C1 controls
// U+0080..U+009F as "\xc2\x9b"). Orders and answers of several megabytes thus neither flood the
// log nor get copied into it, and text from outside can neither forge log lines nor send
// escape sequences to the terminal of whoever reads the log. Shorter texts without control
// characters are written as they are.
#pragma once

#include <spdlog/spdlog.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zorcommon {

// Bytes of one text argument shown in a log line.
constexpr size_t kLogPayloadBytes = 1024;

// A text argument as a log line shows it (see the header comment). Refers to the text, which
// must outlive the formatting call.
struct LogText {
    std::string_view text;
};

// Escapes and cuts `text` as described above and appends the result to `out` (the formatter
// of LogText; exposed for tests and for lines built before logging).
void appendLogText(std::string_view text, fmt::memory_buffer& out);

// Text arguments become LogText; every other argument is passed on unchanged.
template <typename T>
decltype(auto) logArg(T&& value) {
    using Plain = std::remove_cv_t<std::remove_reference_t<T>>;
    if constexpr (std::is_same_v<Plain, const char*> || std::is_same_v<Plain, char*>) {
        return LogText{value != nullptr ? std::string_view(value) : std::string_view()};
    } else if constexpr (std::is_convertible_v<const Plain&, std::string_view>) {
        return LogText{std::string_view(value)};
    } else {
        return std::forward<T>(value);
    }
}

using Logger = std::shared_ptr<spdlog::logger>;

// Base name of a path, computed at compile time for __FILE__.
constexpr const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// Creates (or replaces) the rotating file logger `name` on dir + "/" + file and registers it,
// then sets the line format for all loggers ("%Y-%m-%d %H:%M:%S %L : %v" in spdlog's pattern
// terms, written by a formatter of its own). On failure returns null and fills `error`.
Logger createRotatingLogger(const std::string& name, const std::string& dir,
                            const std::string& file, int maxBytes, int fileCount,
                            std::string& error);

// Writes one line whose format begins with "[{}:{}]"; unit and line fill those two.
template <typename... Args>
void logLine(const Logger& log, spdlog::level::level_enum level, const char* unit, int line,
             fmt::format_string<const char*, int, Args...> format, Args&&... args) {
    if (log && log->should_log(level)) {
        log->log(level, fmt::runtime(fmt::string_view(format)), unit, line,
                 logArg(std::forward<Args>(args))...);
    }
}

// Same with a format chosen at run time (used where shared code varies a label).
template <typename... Args>
void logLineRt(const Logger& log, spdlog::level::level_enum level, const char* unit, int line,
               const std::string& format, Args&&... args) {
    if (log && log->should_log(level)) {
        log->log(level, fmt::runtime(format), unit, line, logArg(std::forward<Args>(args))...);
    }
}

// A line without the "[file:line]" prefix (separators, the settings block frame).
inline void logPlain(const Logger& log, const std::string& text) {
    if (log) {
        log->info(text);
    }
}

inline void flushLog(const Logger& log) {
    if (log) {
        log->flush();
    }
}

}  // namespace zorcommon

template <>
struct fmt::formatter<zorcommon::LogText> {
    constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
    template <typename FormatContext>
    auto format(const zorcommon::LogText& value, FormatContext& ctx) const {
        fmt::memory_buffer shown;
        zorcommon::appendLogText(value.text, shown);
        // Written as one string (appended at once, not byte by byte).
        return fmt::format_to(ctx.out(), "{}", fmt::string_view(shown.data(), shown.size()));
    }
};

#define ZOR_UNIT (::zorcommon::baseName(__FILE__))

#define ZLOG_D(log, ...) \
    ::zorcommon::logLine((log), spdlog::level::debug, ZOR_UNIT, __LINE__, __VA_ARGS__)
#define ZLOG_I(log, ...) \
    ::zorcommon::logLine((log), spdlog::level::info, ZOR_UNIT, __LINE__, __VA_ARGS__)
#define ZLOG_W(log, ...) \
    ::zorcommon::logLine((log), spdlog::level::warn, ZOR_UNIT, __LINE__, __VA_ARGS__)
#define ZLOG_E(log, ...) \
    ::zorcommon::logLine((log), spdlog::level::err, ZOR_UNIT, __LINE__, __VA_ARGS__)

#define ZLOG_UNIT_I(log, unit, ...) \
    ::zorcommon::logLine((log), spdlog::level::info, (unit), __LINE__, __VA_ARGS__)
#define ZLOG_UNIT_W(log, unit, ...) \
    ::zorcommon::logLine((log), spdlog::level::warn, (unit), __LINE__, __VA_ARGS__)
#define ZLOG_UNIT_E(log, unit, ...) \
    ::zorcommon::logLine((log), spdlog::level::err, (unit), __LINE__, __VA_ARGS__)
