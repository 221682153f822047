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

}  // namespace zorcommon
