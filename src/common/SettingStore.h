// Table-driven settings of one program, loaded from a JSON settings file.
//
// The file is one JSON object: top-level values and one level of sections. A value is taken
// only when it has the expected JSON type (string or number); anything absent or mistyped
// keeps its default without a message. Numbers are truncated toward zero and clamped to int32;
// kind IntMillisToMicros is multiplied by 1000 afterwards. Kind Bool takes JSON true and false
// only and reads as 1 or 0 through getIntValue. Problems with the file as a whole go
// to standard error, since no log exists while settings are read.
//
// Not thread-safe for writing; after load() the object is only read and may be shared.
#pragma once

#include <climits>
#include <string>
#include <vector>

namespace zorcommon {

enum class SettingKind { String, Int, IntMillisToMicros, Bool };

struct SettingSpec {
    const char* section;  // nullptr for a top-level member
    const char* key;
    SettingKind kind;
    const char* defaultString;  // for String
    int defaultInt;  // for Int (already in microseconds for IntMillisToMicros), Bool (1 or 0)
};

constexpr int kUnknownIntSetting = INT_MIN;

class SettingStore {
  public:
    explicit SettingStore(const std::vector<SettingSpec>& specs);

    // 0 loaded, 1 file not readable, 2 JSON syntax error (the parser's text on stderr).
    int load(const std::string& path);

    // Value of a string setting; empty for any key that is not a string setting.
    std::string getStringValue(const std::string& key) const;
    // Value of an integer setting; kUnknownIntSetting for any other key.
    int getIntValue(const std::string& key) const;
    // Reference to a string setting's value, stable for the life of the store.
    const std::string& stringRef(const std::string& key) const;

    // Truncation toward zero, clamped to the int32 range.
    static int toInt32(double value);

  private:
    struct Entry {
        SettingSpec spec;
        std::string text;
        int number;
    };
    const Entry* find(const std::string& key) const;

    std::vector<Entry> entries_;
};

}  // namespace zorcommon
