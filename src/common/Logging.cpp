#include "Logging.h"

#include <spdlog/sinks/rotating_file_sink.h>

namespace zorcommon {

namespace {
constexpr int kDefaultMaxBytes = 100000;
constexpr int kMaxFileCount = 200000;  // the sink refuses more
}  // namespace

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
