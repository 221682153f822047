// The nesting limit of the JSON parsing shared by orders, both settings files and mqtt_if.conf:
// arrays and objects count alike, and a text nested far deeper is refused without recursing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonUtil.h"
#include "SettingData.h"
#include "TestUtil.h"
#include "mqtt_if_settings.h"
#include "updater/data/SettingData.h"

namespace {

enum class Shape { Arrays, Objects, Mixed };

// A JSON value with `depth` levels of arrays and/or objects around the number 1.
std::string nested(Shape shape, size_t depth) {
    std::string open;
    std::string close;
    open.reserve(depth * 5);
    close.reserve(depth);
    for (size_t i = 0; i < depth; ++i) {
        const bool object = shape == Shape::Objects || (shape == Shape::Mixed && i % 2 == 0);
        open += object ? "{\"a\":" : "[";
        close += object ? '}' : ']';
    }
    return open + "1" + std::string(close.rbegin(), close.rend());
}

const Shape kShapes[] = {Shape::Arrays, Shape::Objects, Shape::Mixed};

}  // namespace

TEST(JsonUtil, DepthLimitCountsArraysAndObjectsAlike) {
    for (const Shape shape : kShapes) {
        for (const size_t depth : {size_t{1}, zorcommon::kMaxJsonDepth}) {
            picojson::value v;
            EXPECT_EQ(zorcommon::parseJson(v, nested(shape, depth)), "")
                << static_cast<int>(shape) << " " << depth;
        }
        for (const size_t depth : {zorcommon::kMaxJsonDepth + 1, size_t{100000}}) {
            picojson::value v;
            const std::string err = zorcommon::parseJson(v, nested(shape, depth));
            EXPECT_EQ(err.rfind("syntax error at line 1 near: ", 0), 0u)
                << static_cast<int>(shape) << " " << depth << ": " << err.substr(0, 60);
        }
    }
    // Closing levels gives no extra budget to the levels that follow.
    std::string siblings = "[";
    for (int i = 0; i < 500; ++i) {
        siblings += nested(Shape::Objects, 50) + ",";
    }
    picojson::value v;
    EXPECT_EQ(zorcommon::parseJson(v, siblings + nested(Shape::Objects, 99) + "]"), "");
    EXPECT_NE(zorcommon::parseJson(v, siblings + nested(Shape::Objects, 100) + "]"), "");
}

// Each settings file takes its values when the deepest member makes 100 levels with the file's
// own object, and keeps every default at 101 levels or 100000.
TEST(JsonUtil, SettingsFilesNestedTooDeepKeepDefaults) {
    testutil::TempDir dir;
    const std::string path = dir.file("settings.json");
    for (const Shape shape : kShapes) {
        for (const size_t depth : {size_t{99}, size_t{100}, size_t{100000}}) {
            const bool readable = depth < zorcommon::kMaxJsonDepth;
            const std::string what =
                std::to_string(static_cast<int>(shape)) + " " + std::to_string(depth);
            testutil::writeFile(path,
                                "{\"PLATFORM\": \"p\", \"BROKER_URI\": \"tcp://b:1\", "
                                "\"SYSTEM_SETTING_XML_FILE\": \"s\", \"X\": " +
                                    nested(shape, depth) + "}");
            testing::internal::CaptureStderr();
            zorcee::data::SettingData agent(path, zorcee::data::SettingData::Identity::Skip);
            zorupd::data::SettingData updater(path);
            const std::string err = testing::internal::GetCapturedStderr();
            const mqttif::Settings mqtt = mqttif::loadSettingsFile(path);
            EXPECT_EQ(agent.getPlatform(), readable ? "p" : "unknown") << what;
            EXPECT_EQ(updater.getStringValue("SYSTEM_SETTING_XML_FILE"),
                      readable ? "s" : "/usr/local/etc/kestrelwood/SettingsXML/SystemSetting.xml")
                << what;
            EXPECT_EQ(mqtt.brokerUri, readable ? "tcp://b:1" : "tcp://localhost:1883") << what;
            EXPECT_EQ(err.empty(), readable) << what << ": " << err.substr(0, 60);
        }
    }
}

// Strings are reserved ahead of reading: escapes, a backslash just before the end and texts
// cut off inside a string read exactly as the parser's own context reads them.
TEST(JsonUtil, StringsReadAsTheParserReadsThem) {
    const std::string texts[] = {
        "\"\"",
        "\"plain\"",
        "\"a\\\"b\\\\\"",
        "\"\\u00e9\\ud83d\\ude00\\n\\/\"",
        "[\"x\", {\"k\": \"v\\\\\"}, \"\\\\\\\\\"]",
        std::string("\"nul\0inside\"", 12),
        "\"cut",
        "\"cut\\",
        "\"bad \\q escape\"",
        "\"lone \\ud83d surrogate\"",
        "{\"a\": \"" + std::string(300000, 'x') + "\"}",
    };
    for (const auto& text : texts) {
        picojson::value ours;
        picojson::value theirs;
        const std::string err = zorcommon::parseJson(ours, text);
        EXPECT_EQ(err, picojson::parse(theirs, text)) << text.substr(0, 40);
        if (err.empty()) {
            EXPECT_EQ(ours.serialize(), theirs.serialize()) << text.substr(0, 40);
        }
    }
}

// With skipDataValue only the string at data.value of the outermost object reads as "";
// it is still checked, and every other member stays as it is.
TEST(JsonUtil, SkipDataValueEmptiesOnlyThePayload) {
    struct Case {
        std::string text;
        const char* parsed;  // serialized result; nullptr: a syntax error
    };
    const Case cases[] = {
        {R"({"data":{"value":"QUJD","n":"x"},"value":"y"})",
         R"({"data":{"n":"x","value":""},"value":"y"})"},
        {R"({"data":{"value":{"value":"z"}}})", R"({"data":{"value":{"value":"z"}}})"},
        {R"({"data":{"value":5}})", R"({"data":{"value":5}})"},
        {R"({"order":{"data":{"value":"k"}}})", R"({"order":{"data":{"value":"k"}}})"},
        {R"([{"data":{"value":"k"}}])", R"([{"data":{"value":"k"}}])"},
        {R"({"data":{"value":"a\u00e9\n"}})", R"({"data":{"value":""}})"},
        {R"({"data":{"value":"bad \q"}})", nullptr},
        {R"({"data":{"value":"cut)", nullptr},
    };
    for (const auto& c : cases) {
        picojson::value v;
        const std::string err = zorcommon::parseJson(v, c.text, zorcommon::kMaxJsonDepth, true);
        if (c.parsed == nullptr) {
            EXPECT_NE(err, "") << c.text;
        } else {
            EXPECT_EQ(err, "") << c.text;
            EXPECT_EQ(v.serialize(), c.parsed) << c.text;
        }
    }
}
