// The MQTT interface library's settings loader (the file behind initialize()): defaults, the
// type and range rules, and files the JSON parser refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "mqtt_if_settings.h"

using mqttif::Settings;

namespace {

std::string hostName() {
    char buf[256] = {};
    return ::gethostname(buf, sizeof buf - 1) == 0 ? buf : "unknown";
}

// Every member at its default (CLIENT_ID "cee-" + host name).
void expectDefaults(const Settings& s, const std::string& what) {
    EXPECT_EQ(s.brokerUri, "tcp://localhost:1883") << what;
    EXPECT_EQ(s.clientId, "cee-" + hostName()) << what;
    EXPECT_EQ(s.topicSub, "cee/order") << what;
    EXPECT_EQ(s.topicPub, "cee/{client_id}/answer") << what;
    EXPECT_EQ(s.statusTopic, "") << what;
    EXPECT_EQ(s.qos, 1) << what;
    EXPECT_EQ(s.keepAliveS, 60) << what;
    EXPECT_EQ(s.connectTimeoutS, 10) << what;
    EXPECT_EQ(s.publishTimeoutS, 10) << what;
    EXPECT_EQ(s.username, "") << what;
    EXPECT_EQ(s.password, "") << what;
    EXPECT_EQ(s.caFile, "") << what;
    EXPECT_EQ(s.certFile, "") << what;
    EXPECT_EQ(s.keyFile, "") << what;
}

}  // namespace

TEST(MqttIfSettings, ValuesTypesAndRanges) {
    testutil::TempDir dir;
    expectDefaults(mqttif::loadSettingsFile(dir.file("missing.conf")), "missing file");

    testutil::writeFile(dir.file("mqtt_if.conf"),
                        R"({"BROKER_URI": "ssl://b:8883", "CLIENT_ID": "T-1", "TOPIC_SUB": "o",
                            "TOPIC_PUB": "a/{client_id}", "STATUS_TOPIC": "s", "QOS": 2,
                            "KEEPALIVE_S": 0, "CONNECT_TIMEOUT_S": 3600, "PUBLISH_TIMEOUT_S": 1,
                            "USERNAME": "u", "PASSWORD": "p", "CA_FILE": "ca", "CERT_FILE": "c",
                            "KEY_FILE": "k"})");
    const Settings s = mqttif::loadSettingsFile(dir.file("mqtt_if.conf"));
    EXPECT_EQ(s.brokerUri, "ssl://b:8883");
    EXPECT_EQ(s.clientId, "T-1");
    EXPECT_EQ(s.topicSub, "o");
    EXPECT_EQ(s.topicPub, "a/{client_id}");
    EXPECT_EQ(s.statusTopic, "s");
    EXPECT_EQ(s.qos, 2);
    EXPECT_EQ(s.keepAliveS, 0);
    EXPECT_EQ(s.connectTimeoutS, 3600);
    EXPECT_EQ(s.publishTimeoutS, 1);
    EXPECT_EQ(s.username, "u");
    EXPECT_EQ(s.password, "p");
    EXPECT_EQ(s.caFile, "ca");
    EXPECT_EQ(s.certFile, "c");
    EXPECT_EQ(s.keyFile, "k");

    // Wrong types, values out of range and empty names keep their defaults.
    testutil::writeFile(dir.file("mqtt_if.conf"),
                        R"({"BROKER_URI": "", "CLIENT_ID": 5, "TOPIC_SUB": "", "TOPIC_PUB": [],
                            "QOS": 3, "KEEPALIVE_S": -1, "CONNECT_TIMEOUT_S": 0,
                            "PUBLISH_TIMEOUT_S": 3601, "USERNAME": null})");
    expectDefaults(mqttif::loadSettingsFile(dir.file("mqtt_if.conf")), "out of range");
}

// Files the parser refuses give all defaults instead of an exception or a crash: nesting deeper
// than the parser's limit (without it, tens of thousands of brackets overflow the stack), a
// number beyond the range of a double, a syntax error, and a top level that is no object.
TEST(MqttIfSettings, UnusableFilesGiveDefaults) {
    testutil::TempDir dir;
    const std::string deep(200000, '[');
    const std::vector<std::string> texts = {
        deep,
        R"({"BROKER_URI": "tcp://b:1", "X": )" + deep,
        R"({"BROKER_URI": "tcp://b:1", "X": )" + std::string(100000, '{'),
        R"({"BROKER_URI": "tcp://b:1", "QOS": 1e999})",
        R"({"BROKER_URI": "tcp://b:1", "KEEPALIVE_S": -1e400})",
        R"({"BROKER_URI": "tcp://b:1",)",
        R"(["BROKER_URI", "tcp://b:1"])",
    };
    for (const auto& text : texts) {
        testutil::writeFile(dir.file("mqtt_if.conf"), text);
        try {
            expectDefaults(mqttif::loadSettingsFile(dir.file("mqtt_if.conf")), text.substr(0, 60));
        } catch (const std::exception&) {
            ADD_FAILURE() << "the loader threw for " << text.substr(0, 60);
        }
    }
}
