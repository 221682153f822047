// Text handling shared by orders, answers and settings files: answers are valid UTF-8 whatever
// bytes an order held; Base64 of payloads; JSON nesting bounded at 100 levels of arrays and
// objects alike, refused without recursing much deeper.
#include <gtest/gtest.h>

#include "Base64.h"
#include "JsonUtil.h"
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

// Padded standard encoding, and the lenient decoding of received payloads.
TEST(Base64, EncodingAndLenientDecoding) {
    using zorcommon::decodeBase64;
    const auto encode = [](const std::string& bytes) {
        return zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size());
    };
    EXPECT_EQ(encode("f") + encode("fo") + encode("foo") + encode("\xfb\xff"), "Zg==Zm8=Zm9v+/8=");
    // Decoding never fails: it skips line breaks and stops at anything else outside the alphabet.
    std::string decoded;
    for (const char* text :
         {"Zg==", "+/8=", "Zm9vYmE", "Zm9vYg", "QUJDQ", "QUJD QUJD", "QUI=QUJD", "=QUJD", "QUJD-_8",
          "QUJD\xc3\xa9QUJD", "QU\r\nJD\nQU\rI=", "QUJD\r\n QUJD"}) {
        decoded += decodeBase64(text) + "|";
    }
    EXPECT_EQ(decoded, "f|\xfb\xff|fooba|foob|ABC|ABC|AB||ABC|ABC|ABCAB|ABC|");
    EXPECT_EQ(decodeBase64(std::string("QUJD\0QUJD", 9)), "ABC");
}

namespace {
// `depth` levels of objects (shape 0), arrays (1) or both in turn (2) around the number 1.
std::string nested(int shape, size_t depth) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) {
        const bool object = shape == 0 || (shape == 2 && i % 2 == 0);
        open += object ? "{\"a\":" : "[";
        close += object ? '}' : ']';
    }
    return open + "1" + std::string(close.rbegin(), close.rend());
}
}  // namespace

TEST(JsonUtil, NestingIsBoundedForArraysAndObjectsAlike) {
    picojson::value v;
    for (const int shape : {0, 1, 2}) {
        for (const size_t depth : {1, 100, 101, 100000}) {
            EXPECT_EQ(zorcommon::parseJson(v, nested(shape, depth)).empty(), depth <= 100)
                << shape << " " << depth;
        }
    }
}
