// Small string helpers shared by both programs.
#pragma once

#include <string>
#include <vector>

namespace zorcommon {

// Splits `text` at every occurrence of `delimiter`.
// skipEmpty drops empty parts between adjacent delimiters and a last empty part after a trailing
// delimiter; with splitIntoChars an empty delimiter yields each character as one part.
// With both flags off an empty text gives one empty part, and an empty delimiter gives the
// whole text as the only part.
std::vector<std::string> splitString(const std::string& text, const std::string& delimiter,
                                     bool skipEmpty, bool splitIntoChars);

// `text` with every byte sequence that is not valid UTF-8 (stray continuation bytes, cut-off
// sequences, overlong forms, surrogates, values above U+10FFFF) replaced by U+FFFD, one per
// maximal invalid part. Valid text comes back unchanged (and without a copy).
std::string toValidUtf8(std::string text);

}  // namespace zorcommon
