// Answers are valid UTF-8 whatever bytes an order held.
#include <gtest/gtest.h>

#include <string>

#include "StringUtil.h"

TEST(StringUtil, InvalidUtf8IsReplaced) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain {\"a\":\"b\"}", "plain {\"a\":\"b\"}"},
        {"\xC3\xA9 \xE3\x81\x82 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
         "\xC3\xA9 \xE3\x81\x82 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
        {"a\xFF"
         "b",
         "a" + r + "b"},      // never valid
        {"\x80\xBF", r + r},  // stray continuation bytes
        {"\xC3", r},          // cut off at the end
        {"\xE3\x81"
         "x",
         r + "x"},                            // cut off in the middle: one part
        {"\xC0\xAF", r + r},                  // overlong "/"
        {"\xE0\x80\xAF", r + r + r},          // overlong, three bytes
        {"\xED\xA0\x80", r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xF0\x9F\x98"
         "\xC3\xA9",
         r + "\xC3\xA9"},  // cut-off emoji before a valid char
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zorcommon::toValidUtf8(c.in), c.out) << c.in;
    }
}
