// Fuzz target: the Base64 codec. Any bytes survive encoding and decoding; the encoding is
// padded to whole groups of the standard alphabet; decoding arbitrary text and encoding the
// result again reads back the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Base64.h"
#include "FuzzUtil.h"

using fuzzutil::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string encoded = zorcommon::encodeBase64(data, size);
    if (encoded.size() != (size + 2) / 3 * 4) {
        fail("encoded length is not four per started group of three");
    }
    for (const char c : encoded) {
        if (std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", c) ==
                nullptr ||
            c == '\0') {
            fail("encoded text outside the alphabet");
        }
    }
    const std::string decoded = zorcommon::decodeBase64(encoded);
    if (decoded.size() != size || std::memcmp(decoded.data(), data, size) != 0) {
        fail("round trip changed the bytes");
    }

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string lenient = zorcommon::decodeBase64(text);
    if (lenient.size() > size / 4 * 3 + 2) {
        fail("decoding gave more bytes than the text can hold");
    }
    const std::string again = zorcommon::encodeBase64(
        reinterpret_cast<const unsigned char*>(lenient.data()), lenient.size());
    if (zorcommon::decodeBase64(again) != lenient) {
        fail("decoded bytes do not survive a second round trip");
    }
    return 0;
}
