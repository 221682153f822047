// How a text argument shows in a log line: cut after 1,024 bytes with its full size, control
// characters escaped, everything else as it is.
#include <gtest/gtest.h>

#include <string>

#include "Logging.h"
#include "TestUtil.h"

namespace {
std::string shown(const std::string& text) {
    fmt::memory_buffer out;
    zorcommon::appendLogText(text, out);
    return fmt::to_string(out);
}
}  // namespace

TEST(Logging, TextArgumentsAreCutAndEscaped) {
    const std::string kb(1024, 'a');
    const std::string euro = "\xE2\x82\xAC";
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"<commandRequest id=\"1\"/> \\/ \xE3\x81\x82",
         "<commandRequest id=\"1\"/> \\/ \xE3\x81\x82"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {"\x1b[31mred\x07\x7f", "\\x1b[31mred\\x07\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"csi\xC2\x9B"
         "2J \xC2\xA0",
         "csi\\xc2\\x9b2J \xC2\xA0"},
        {kb, kb},
        {kb + "b", kb + " ... (1025 bytes)"},
        {std::string(3 * 1024 * 1024, 'z'), std::string(1024, 'z') + " ... (3145728 bytes)"},
        // A character across the cut is left out whole.
        {std::string(1022, 'a') + euro + "tail", std::string(1022, 'a') + " ... (1029 bytes)"},
        {std::string(1021, 'a') + euro + "tail",
         std::string(1021, 'a') + euro + " ... (1028 bytes)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shown(c.text), c.expected) << c.text.substr(0, 40);
    }
}

TEST(Logging, EveryTextArgumentOfALineGoesThroughIt) {
    testutil::CapturedLog log("cee");
    const auto logger = spdlog::get("cee");
    const std::string big(5000, 'x');
    const char* nullText = nullptr;
    ZLOG_I(logger, "[{}:{}] a -> {} : b -> {} : c -> {} : n -> {}", big, "forged\n2026 E : x",
           nullText, 42);
    EXPECT_TRUE(log.contains("a -> " + std::string(1024, 'x') +
                             " ... (5000 bytes) : b -> "
                             "forged\\n2026 E : x : c ->  : n -> 42\n"))
        << log.text().substr(0, 200);
}
