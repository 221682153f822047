// Log set-up shared by both programs: one named, size-rotated file logger per program and the
// line pattern "%Y-%m-%d %H:%M:%S %L : %v".
//
// Every message starts with "[{}:{}]", filled with the base name of the writing source file and
// the line number. The ZLOG_* macros fill both from the call site; the ZLOG_UNIT_* forms take
// the unit name explicitly, for shared code that writes on behalf of a program's own unit.
// All functions are thread-safe (spdlog loggers are the _mt kind); a null logger is ignored.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <utility>

namespace zorcommon {

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
// then sets the line pattern for all loggers. On failure returns null and fills `error`.
Logger createRotatingLogger(const std::string& name, const std::string& dir,
                            const std::string& file, int maxBytes, int fileCount,
                            std::string& error);

// Writes one line whose format begins with "[{}:{}]"; unit and line fill those two.
template <typename... Args>
void logLine(const Logger& log, spdlog::level::level_enum level, const char* unit, int line,
             fmt::format_string<const char*, int, Args...> format, Args&&... args) {
    if (log && log->should_log(level)) {
        log->log(level, fmt::runtime(fmt::string_view(format)), unit, line,
                 std::forward<Args>(args)...);
    }
}

// Same with a format chosen at run time (used where shared code varies a label).
template <typename... Args>
void logLineRt(const Logger& log, spdlog::level::level_enum level, const char* unit, int line,
               const std::string& format, Args&&... args) {
    if (log && log->should_log(level)) {
        log->log(level, fmt::runtime(format), unit, line, std::forward<Args>(args)...);
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
