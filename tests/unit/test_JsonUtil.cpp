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
