// JSON parsing for every text the programs read as JSON (orders, settings files).
#pragma once

#include <picojson.h>

#include <string>

namespace zorcommon {

// Parses `text` into `out`. Empty on success, else the error text: the parser's own ("syntax
// error at line N near: ...", also for nesting deeper than its limit of 100 levels), or
// "syntax error: number out of range" for a number beyond the range of a double. Never throws
// but for memory exhaustion; after an error `out` holds whatever was read before it.
std::string parseJson(picojson::value& out, const std::string& text);

}  // namespace zorcommon
