// JSON parsing for every text the programs and libmqtt-if read as JSON (orders, settings files,
// mqtt_if.conf). Header-only so that the MQTT interface library, which does not link the
// common library, parses with the same rules.
//
// The parser's own context limits the nesting of arrays but not of objects, so a text such as
// {"a":{"a":...}} nested some ten thousand levels deep recursed until the stack ran out. The
// context here counts objects and arrays alike.
#pragma once

#include <picojson.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorcommon {

// Deepest nesting of arrays and objects (together) that a JSON text may have.
constexpr size_t kMaxJsonDepth = 100;

// A picojson parse context that builds the value like the parser's default one and fails the
// parse as soon as arrays and objects are nested deeper than the limit. Each string is reserved
// at its full length before it is read: the parser appends byte by byte, and the doublings of
// a string of megabytes (an order's payload) would each hold the old and the new buffer.
// With `skipDataValue`, the string at data.value of the outermost object is checked like any
// other but kept empty (for a look at an order that does not need its payload).
class BoundedJsonContext {
  public:
    // `end` is the end of the text being parsed.
    BoundedJsonContext(picojson::value* out, size_t depthLeft, const char* end,
                       bool skipDataValue = false)
        : out_(out),
          depthLeft_(depthLeft),
          end_(end),
          skip_(skipDataValue ? Skip::Root : Skip::No) {}
    BoundedJsonContext(const BoundedJsonContext&) = delete;
    BoundedJsonContext& operator=(const BoundedJsonContext&) = delete;

    bool set_null() {
        *out_ = picojson::value();
        return true;
    }
    bool set_bool(bool b) {
        *out_ = picojson::value(b);
        return true;
    }
#ifdef PICOJSON_USE_INT64
    bool set_int64(int64_t i) {
        *out_ = picojson::value(i);
        return true;
    }
#endif
    bool set_number(double f) {
        *out_ = picojson::value(f);
        return true;
    }
    bool parse_string(picojson::input<const char*>& in) {
        *out_ = picojson::value(picojson::string_type, false);
        if (skip_ == Skip::Here) {
            Discard discard;
            return picojson::_parse_string(discard, in);
        }
        std::string& text = out_->get<std::string>();
        // Up to the closing quote; escapes only ever shorten the text. cur() steps past the
        // opening quote, which the next getc() would do alike.
        const char* const begin = in.cur();
        const char* p = begin;
        while (p != end_ && *p != '"') {
            if (*p == '\\' && ++p == end_) {
                break;
            }
            ++p;
        }
        text.reserve(static_cast<size_t>(p - begin));
        return picojson::_parse_string(text, in);
    }
    bool parse_array_start() {
        if (depthLeft_ == 0) {
            return false;
        }
        *out_ = picojson::value(picojson::array_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_array_item(picojson::input<Iter>& in, size_t) {
        auto& a = out_->get<picojson::array>();
        a.push_back(picojson::value());
        BoundedJsonContext inner(&a.back(), depthLeft_ - 1, end_);
        return picojson::_parse(inner, in);
    }
    bool parse_array_stop(size_t) {
        return true;
    }
    bool parse_object_start() {
        if (depthLeft_ == 0) {
            return false;
        }
        *out_ = picojson::value(picojson::object_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
        auto& o = out_->get<picojson::object>();
        BoundedJsonContext inner(&o[key], depthLeft_ - 1, end_);
        if (skip_ == Skip::Root && key == "data") {
            inner.skip_ = Skip::Data;
        } else if (skip_ == Skip::Data && key == "value") {
            inner.skip_ = Skip::Here;
        }
        return picojson::_parse(inner, in);
    }
    bool parse_object_stop() {
        return true;
    }

  private:
    picojson::value* out_;
    size_t depthLeft_;  // levels of arrays/objects that may still be opened here
    const char* end_;
    // Where this value stands on the way to data.value (No: elsewhere or not asked for).
    enum class Skip { No, Root, Data, Here } skip_;
    // Takes the characters of a skipped string.
    struct Discard {
        void push_back(char) {}
    };
};

// Parses `text` into `out`. Empty on success, else the error text: the parser's own ("syntax
// error at line N near: ...", also for nesting deeper than kMaxJsonDepth), or "syntax error:
// number out of range" for a number beyond the range of a double. Never throws but for memory
// exhaustion; after an error `out` holds whatever was read before it. With skipDataValue, a
// string at data.value is read as "" (see BoundedJsonContext).
inline std::string parseJson(picojson::value& out, std::string_view text,
                             size_t maxDepth = kMaxJsonDepth, bool skipDataValue = false) {
    try {
        std::string err;
        const char* const end = text.data() + text.size();
        BoundedJsonContext ctx(&out, maxDepth, end, skipDataValue);
        picojson::_parse(ctx, text.data(), end, &err);
        return err;
    } catch (const std::overflow_error&) {
        // The parser stores numbers as doubles and throws for one that becomes infinite
        // (1e999): an input of this kind is as unusable as a syntax error.
        return "syntax error: number out of range";
    }
}

}  // namespace zorcommon
