// Fuzz target: the Base64 codec. Any bytes survive encoding and decoding; the encoding is
// padded to whole groups of the standard alphabet; decoding arbitrary text and encoding the
// result again reads back the same bytes.
#include <string>

#include "Base64.h"
#include "FuzzUtil.h"

void fuzzutil::fuzzOne(const std::string& input) {
    const auto encode = [](const std::string& bytes) {
        return zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size());
    };
    const std::string encoded = encode(input);
    check(encoded.size() == (input.size() + 2) / 3 * 4 &&
              encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                        "0123456789+/=") == std::string::npos,
          "encoded length not four per started group of three, or outside the alphabet");
    check(zorcommon::decodeBase64(encoded) == input, "round trip changed the bytes");

    const std::string lenient = zorcommon::decodeBase64(input);
    check(lenient.size() <= input.size() / 4 * 3 + 2,
          "decoding gave more bytes than the text can hold");
    check(zorcommon::decodeBase64(encode(lenient)) == lenient,
          "decoded bytes do not survive a second round trip");
}
