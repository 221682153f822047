// Log lines and files: a text argument is cut after 1,024 bytes with its full size and has its
// control characters escaped; the file logger rotates at its size into a bounded number of files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "Logging.h"
#include "TestUtil.h"

TEST(Logging, TextArgumentsAreCutAndEscaped) {
    const std::string kb(1024, 'a'), euro = "\xE2\x82\xAC", cut = " ... (1029 bytes)";
    const std::pair<std::string, std::string> cases[] = {
        {"<x id=\"1\"/> \\/ ~ \xE3\x81\x82 \xC2\xA0", "<x id=\"1\"/> \\/ ~ \xE3\x81\x82 \xC2\xA0"},
        {"a\nb\r\tc\x1b[31m\x07\x7f~", "a\\nb\\r\\tc\\x1b[31m\\x07\\x7f~"},
        {std::string("nul\0", 4) + "\xC2\x80\xC2\x9B\xC2\x9F",
         "nul\\x00\\xc2\\x80\\xc2\\x9b\\xc2\\x9f"},
        {kb, kb},
        {kb + "b", kb + " ... (1025 bytes)"},
        {std::string(3 << 20, 'a'), kb + " ... (3145728 bytes)"},
        // A character across the cut is left out whole.
        {kb.substr(2) + euro + "tail", kb.substr(2) + cut},
        {kb.substr(3) + euro + "tail1", kb.substr(3) + euro + cut}};
    for (const auto& [text, expected] : cases) {
        fmt::memory_buffer out;
        zorcommon::appendLogText(text, out);
        EXPECT_EQ(fmt::to_string(out), expected) << text.substr(0, 40);
    }
    // Every text argument of a line goes through it.
    testutil::CapturedLog log("cee");
    char forged[] = "forged\n2026 E : x";
    const char* none = std::getenv("CEE_TEST_NEVER_SET");  // null, unseen by the compiler
    ZLOG_I(spdlog::get("cee"), "[{}:{}] {} | {} | {} | {} | {}", std::string(5000, 'x'),
           static_cast<char*>(forged), none, std::string_view("\t"), 42);
    EXPECT_TRUE(log.contains(std::string(1024, 'x') +
                             " ... (5000 bytes) | forged\\n2026 E : x |  | \\t | 42\n"))
        << log.text().substr(0, 200);
}

// The logger a program creates from LOG_MAX_BYTES and LOG_COUNTS keeps at most LOG_COUNTS
// rotated files beside the current one, none larger than LOG_MAX_BYTES; unusable values fall
// back instead of leaving the program without a log.
TEST(Logging, RotationAtMaxBytesKeepsLogCountsFiles) {
    // LOG_MAX_BYTES, LOG_COUNTS, files on disk, largest file allowed.
    const std::tuple<int, int, size_t, uintmax_t> cases[] = {
        {1000, 2, 3, 1000}, {1000, 0, 1, 1000}, {1000, -1, 1, 1000}, {0, 2, 1, 100000}};
    for (const auto& [maxBytes, counts, files, largest] : cases) {
        testutil::TempDir dir;
        std::string error;
        const auto log =
            zorcommon::createRotatingLogger("rot", dir.path(), "r.log", maxBytes, counts, error);
        ASSERT_TRUE(log) << error;
        for (int i = 0; i < 100; ++i) {  // about 11 kB
            ZLOG_I(log, "[{}:{}] {}", std::string(70, 'x'));
        }
        ZLOG_W(log, "[{}:{}] last");
        zorcommon::flushLog(log);
        spdlog::drop("rot");
        // Every line: local date and time, the level's letter, the message.
        std::ifstream current(dir.path() + "/r.log");
        std::string line, last;
        while (std::getline(current, line)) {
            last = line;
        }
        EXPECT_TRUE(std::regex_match(
            last,
            std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} W : \[test_Logging.cpp:\d+\] last)")))
            << last;
        size_t found = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            ++found;
            EXPECT_LE(entry.file_size(), largest) << maxBytes << " " << counts;
        }
        EXPECT_EQ(found, files) << maxBytes << " " << counts;
    }
}
