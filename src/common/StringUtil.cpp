#include "StringUtil.h"

namespace zorcommon {

std::vector<std::string> splitString(const std::string& text, const std::string& delimiter,
                                     bool skipEmpty, bool splitIntoChars) {
    std::vector<std::string> parts;
    if (delimiter.empty()) {
        if (splitIntoChars) {
            for (char c : text) {
                parts.emplace_back(1, c);
            }
        } else {
            parts.push_back(text);
        }
        return parts;
    }
    std::string::size_type start = 0;
    while (true) {
        const auto pos = text.find(delimiter, start);
        const std::string part =
            text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (!(skipEmpty && part.empty())) {
            parts.push_back(part);
        }
        if (pos == std::string::npos) {
            break;
        }
        start = pos + delimiter.size();
    }
    return parts;
}

}  // namespace zorcommon
