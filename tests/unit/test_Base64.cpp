// Base64 of payloads: the padded standard encoding of answers, and the lenient decoding of
// received orders.
#include <gtest/gtest.h>

#include "Base64.h"

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
