// Text handling shared by orders, answers and settings files: answers are valid UTF-8 whatever
// bytes an order held.
#include <gtest/gtest.h>

#include "StringUtil.h"

TEST(StringUtil, InvalidUtf8IsReplaced) {
    const std::string r = "\xEF\xBF\xBD", ok = "{\"a\":\"\xC3\xA9 \xE3\x81\x82 \xF0\x9F\x98\x80\"}";
    // Valid text; never valid; stray continuation bytes; cut off inside and at the end;
    // overlong; surrogate; above U+10FFFF.
    const std::pair<std::string, std::string> cases[] = {{ok, ok},
                                                         {"a\xFF", "a" + r},
                                                         {"\x80\xBF", r + r},
                                                         {"\xE3\x81x", r + "x"},
                                                         {"\xC3", r},
                                                         {"\xC0\xAF", r + r},
                                                         {"\xED\xA0\x80", r + r + r},
                                                         {"\xF4\x90\x80\x80", r + r + r + r}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(zorcommon::toValidUtf8(in), out) << in;
    }
}
