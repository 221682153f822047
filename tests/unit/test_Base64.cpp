// Base64 codec: padded standard encoding and the lenient decoder used on received payloads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Base64.h"

using zorcommon::decodeBase64;
using zorcommon::encodeBase64;

namespace {

std::string encode(const std::string& bytes) {
    return encodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

}  // namespace

TEST(Base64, KnownVectorsAndPaddingForms) {
    struct Case {
        std::string plain;
        std::string encoded;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"ABC", "QUJD"},
        {"AB", "QUI="},
        {std::string("\xfb\xff", 2), "+/8="},
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.plain), c.encoded) << "plain of size " << c.plain.size();
        EXPECT_EQ(decodeBase64(c.encoded), c.plain) << c.encoded;
    }
    // Padding may be left off: a group of three or two characters still gives two or one byte.
    EXPECT_EQ(decodeBase64("Zm9vYmE"), "fooba");
    EXPECT_EQ(decodeBase64("Zm9vYg"), "foob");
    // A single leftover character carries no complete byte.
    EXPECT_EQ(decodeBase64("Q"), "");
    EXPECT_EQ(decodeBase64("QUJDQ"), "ABC");
}

TEST(Base64, RoundTripOfEveryByteValueAndLength) {
    const std::string bytes = allByteValues();
    const std::string encoded = encode(bytes);
    EXPECT_EQ(encoded.size(), (bytes.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(decodeBase64(encoded), bytes);

    // Every tail length (0, 1 and 2 leftover bytes) and every byte in every position of a group.
    for (size_t length = 0; length <= 7; ++length) {
        for (size_t start = 0; start + length <= bytes.size(); start += 37) {
            const std::string part = bytes.substr(start, length);
            const std::string text = encode(part);
            ASSERT_EQ(text.size() % 4, 0u) << "length " << length;
            EXPECT_EQ(decodeBase64(text), part) << text;
        }
    }
}

TEST(Base64, DecodingStopsAtTheFirstCharacterOutsideTheAlphabet) {
    EXPECT_EQ(decodeBase64("QUJD QUJD"), "ABC");
    EXPECT_EQ(decodeBase64("QUJD\tQUJD"), "ABC");
    EXPECT_EQ(decodeBase64("QUJD=QUJD"), "ABC");
    EXPECT_EQ(decodeBase64("QUI=QUJD"), "AB");
    EXPECT_EQ(decodeBase64("=QUJD"), "");
    EXPECT_EQ(decodeBase64(" QUJD"), "");
    // The URL-safe alphabet is not understood.
    EXPECT_EQ(decodeBase64("QUJD-_8"), "ABC");
    // A byte above 0x7f ends the text too.
    EXPECT_EQ(decodeBase64("QUJD\xc3\xa9QUJD"), "ABC");
    // A NUL inside the text ends it.
    EXPECT_EQ(decodeBase64(std::string("QUJD\0QUJD", 9)), "ABC");
    // Decoded zero bytes are kept.
    EXPECT_EQ(decodeBase64("AAAA"), std::string(3, '\0'));
}

TEST(Base64, WrappedTextDecodesCompletely) {
    const std::string bytes = allByteValues() + allByteValues();
    const std::string encoded = encode(bytes);
    ASSERT_GT(encoded.size(), 76u * 4);

    for (const std::string lineBreak : {"\r\n", "\n", "\r"}) {
        std::string wrapped;
        for (size_t pos = 0; pos < encoded.size(); pos += 76) {
            wrapped += encoded.substr(pos, 76) + lineBreak;
        }
        EXPECT_EQ(decodeBase64(wrapped), bytes) << "line break of size " << lineBreak.size();
    }
    // A break inside a group of four does not disturb the group.
    EXPECT_EQ(decodeBase64("QU\r\nJD\nQU\rI="), "ABCAB");
    // Line breaks are skipped, but a blank after one still ends the text.
    EXPECT_EQ(decodeBase64("QUJD\r\n QUJD"), "ABC");
}
