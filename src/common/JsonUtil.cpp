#include "JsonUtil.h"

#include <stdexcept>

namespace zorcommon {

std::string parseJson(picojson::value& out, const std::string& text) {
    try {
        return picojson::parse(out, text);
    } catch (const std::overflow_error&) {
        // The parser stores numbers as doubles and throws for one that becomes infinite
        // (1e999): an input of this kind is as unusable as a syntax error.
        return "syntax error: number out of range";
    }
}

}  // namespace zorcommon
