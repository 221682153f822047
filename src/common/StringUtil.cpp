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

namespace {
// Length of the valid UTF-8 sequence at text[i], or 0 when none starts there; `part` receives
// how many bytes the invalid part takes (at least 1).
size_t utf8SequenceAt(const std::string& text, size_t i, size_t& part) {
    const auto at = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    part = 1;
    if (c < 0x80) {
        return 1;
    }
    size_t length;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) {
            return 0;
        }
        const unsigned char b = at(i + k);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            return 0;
        }
        part = k + 1;
    }
    return length;
}
}  // namespace

std::string toValidUtf8(std::string text) {
    size_t i = 0;
    size_t part = 0;
    while (i < text.size()) {
        const size_t n = utf8SequenceAt(text, i, part);
        if (n == 0) {
            break;
        }
        i += n;
    }
    if (i == text.size()) {
        return text;
    }
    std::string out;
    out.reserve(text.size() + 16);
    out.append(text, 0, i);
    while (i < text.size()) {
        const size_t n = utf8SequenceAt(text, i, part);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += part;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace zorcommon
