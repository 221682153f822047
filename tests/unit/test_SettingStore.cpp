// Settings files: the rules of the shared loader once, what each program's settings add, and
// the packaged files against the built-in defaults.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "ConnectionManagerBase.h"
#include "JsonUtil.h"
#include "SettingData.h"
#include "TestUtil.h"
#include "mqtt_if_settings.h"
#include "updater/data/SettingData.h"

using zorcommon::SettingKind;
using AgentSettings = zorcee::data::SettingData;
using UpdSettings = zorupd::data::SettingData;

TEST(SettingStore, TypeRulesAndUnusableFiles) {
    const zorcommon::SettingStore initial(
        {{nullptr, "NAME", SettingKind::String, "name", 0},
         {"SEC", "TEXT", SettingKind::String, "text", 0},
         {"SEC", "NUM", SettingKind::Int, nullptr, 5},
         {"SEC", "MS", SettingKind::IntMillisToMicros, nullptr, 3000000},
         {"SEC", "ON", SettingKind::Bool, nullptr, 1}});
    const std::string kept = "name|text|5|3000000|1";
    // File text ("-": no file), load() status, then NAME|TEXT|NUM|MS|ON.
    const std::tuple<std::string, int, std::string> cases[] = {
        {R"({"NAME": "n", "SEC": {"TEXT": "t", "NUM": 7, "MS": 500, "ON": false}, "X": 1})", 0,
         "n|t|7|500000|0"},
        {R"({"NAME": 12, "SEC": {"TEXT": ["t"], "NUM": "7", "MS": null, "ON": 0}})", 0, kept},
        {R"({"SEC": {"NUM": 2048.9, "MS": -1.5, "ON": "false"}})", 0, "name|text|2048|-1000|1"},
        {R"({"SEC": {"NUM": 1e12, "MS": 3e6}})", 0, "name|text|2147483647|2147483647|1"},
        {R"({"SEC": {"NUM": -9e15}})", 0, "name|text|-2147483648|3000000|1"},
        // Members count only where they belong.
        {R"({"TEXT": "top", "NUM": 1, "SEC": "not a section"})", 0, kept},
        {R"({"SEC": {"NAME": "inside"}})", 0, kept},
        {"[1, 2]", 0, kept},
        {"-", 1, kept},
        {"{\"NAME\": \"n\",\n oops}", 2, kept},
        {"{\"NAME\": \"n\", \"SEC\": " + std::string(200000, '['), 2, kept},
        {R"({"NAME": "n", "SEC": {"NUM": 1e999}})", 2, kept}};
    testutil::TempDir dir;
    for (const auto& [text, status, values] : cases) {
        testutil::writeFile(dir.file("s.json"), text);
        zorcommon::SettingStore store = initial;
        testing::internal::CaptureStderr();
        EXPECT_EQ(store.load(dir.file(text == "-" ? "missing" : "s.json")), status)
            << text.substr(0, 60);
        // A file that cannot be used is reported on standard error (no log exists yet).
        EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), status == 0);
        EXPECT_EQ(store.getStringValue("NAME") + "|" + store.getStringValue("TEXT") + "|" +
                      std::to_string(store.getIntValue("NUM")) + "|" +
                      std::to_string(store.getIntValue("MS")) + "|" +
                      std::to_string(store.getIntValue("ON")),
                  values)
            << text.substr(0, 60);
    }
}

namespace {

std::string packaged(const std::string& name) {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../../packaging/etc/" + name;
}

// Every value changed: strings get a suffix, numbers grow by 7, truth values turn round.
picojson::value changed(picojson::value v) {
    if (v.is<picojson::object>()) {
        for (auto& member : v.get<picojson::object>()) {
            member.second = changed(member.second);
        }
        return v;
    }
    if (v.is<bool>()) {
        return picojson::value(!v.get<bool>());
    }
    return v.is<double>() ? picojson::value(v.get<double>() + 7)
                          : picojson::value(v.to_str() + "-x");
}

// Each member of the packaged file gives what the loader gives without a file, and a copy with
// every value changed changes that setting (so the member is a setting of that type and stands
// where the loader reads it). A member named in `packagedOwn` is packaged with a value of its
// own on purpose: the packaged file gives that value instead.
template <typename Settings, typename... Extra>
void checkPackaged(const std::string& name, const std::set<std::string>& packagedOwn,
                   Extra... extra) {
    testutil::TempDir tmp;
    picojson::value root;
    ASSERT_EQ(zorcommon::parseJson(root, testutil::readFile(packaged(name))), "");
    testutil::writeFile(tmp.file("changed"), changed(root).serialize());
    const Settings defaults(tmp.file("missing"), extra...);
    const Settings file(packaged(name), extra...);
    const Settings other(tmp.file("changed"), extra...);
    for (const auto& [top, value] : root.get<picojson::object>()) {
        const picojson::object members = value.template is<picojson::object>()
                                             ? value.template get<picojson::object>()
                                             : picojson::object{{top, value}};
        for (const auto& [key, member] : members) {
            const bool text = member.template is<std::string>();
            const auto get = [text, &key = key](const Settings& s) {
                return text ? s.getStringValue(key) : std::to_string(s.getIntValue(key));
            };
            if (packagedOwn.count(key) > 0) {
                EXPECT_NE(get(file), get(defaults)) << key;
                continue;
            }
            EXPECT_EQ(get(file), get(defaults)) << key;
            EXPECT_NE(get(other), get(defaults)) << key;
        }
    }
}

auto fields(const mqttif::Settings& s) {
    return std::make_tuple(s.brokerUri, s.clientId, s.topicSub, s.topicPub, s.statusTopic, s.qos,
                           s.keepAliveS, s.connectTimeoutS, s.publishTimeoutS, s.username,
                           s.password, s.caFile, s.certFile, s.keyFile);
}

}  // namespace

TEST(SettingStore, PackagedFilesHoldTheBuiltInDefaults) {
    checkPackaged<AgentSettings>("cee.conf", {}, AgentSettings::Identity::Skip);
    // The updater opens no broker session it does not use.
    checkPackaged<UpdSettings>("cee_upd.conf", {"MQTT_CONNECT"});
    EXPECT_EQ(fields(mqttif::loadSettingsFile(packaged("mqtt_if.conf"))),
              fields(mqttif::loadSettingsFile("/nonexistent/mqtt_if.conf")));
    // The HTTP layer's own limit is the one the settings give.
    EXPECT_EQ(zorcommon::HttpSettings{}.maxAnswerBytes,
              UpdSettings("/nonexistent").getIntValue("MAX_ANSWER_BYTES"));
}

// The MQTT library's loader takes each range at both ends and gives its defaults for a value
// one step beyond, an empty name or an unusable file.
TEST(SettingStore, MqttLoaderRangesAndEmptyValues) {
    testutil::TempDir dir;
    const auto defaults = fields(mqttif::loadSettingsFile(dir.file("missing")));
    // File text, then QOS, KEEPALIVE_S, CONNECT_TIMEOUT_S, PUBLISH_TIMEOUT_S (none: defaults).
    const std::pair<const char*, std::vector<int>> cases[] = {
        {R"({"QOS": 0, "KEEPALIVE_S": 65535, "CONNECT_TIMEOUT_S": 1, "PUBLISH_TIMEOUT_S": 3600})",
         {0, 65535, 1, 3600}},
        {R"({"QOS": 2, "KEEPALIVE_S": 0, "CONNECT_TIMEOUT_S": 3600, "PUBLISH_TIMEOUT_S": 1})",
         {2, 0, 3600, 1}},
        {R"({"QOS": 3, "KEEPALIVE_S": -1, "CONNECT_TIMEOUT_S": 0, "PUBLISH_TIMEOUT_S": 3601})", {}},
        {R"({"QOS": -1, "KEEPALIVE_S": 65536, "CONNECT_TIMEOUT_S": 3601, "PUBLISH_TIMEOUT_S": 0})",
         {}},
        {R"({"BROKER_URI": "", "CLIENT_ID": "", "TOPIC_SUB": "", "TOPIC_PUB": [], "QOS": "1"})",
         {}},
        {R"({"BROKER_URI": "tcp://b:1",)", {}},
        {R"(["BROKER_URI", "tcp://b:1"])", {}}};
    for (const auto& [text, ints] : cases) {
        testutil::writeFile(dir.file("mqtt_if.conf"), text);
        auto want = defaults;
        if (!ints.empty()) {
            std::tie(std::get<5>(want), std::get<6>(want), std::get<7>(want), std::get<8>(want)) =
                std::tie(ints[0], ints[1], ints[2], ints[3]);
        }
        EXPECT_EQ(fields(mqttif::loadSettingsFile(dir.file("mqtt_if.conf"))), want) << text;
    }
}
