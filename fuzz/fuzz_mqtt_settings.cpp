// Fuzz target: the MQTT library's settings loader on an arbitrary settings file. Whatever the
// file holds, the settings stay usable: values in range, no empty broker, client or topic.
#include <string>

#include "FuzzUtil.h"
#include "mqtt_if_settings.h"

void fuzzutil::fuzzOne(const std::string& input) {
    const mqttif::Settings s = mqttif::loadSettingsFile(writeScratchFile("mqtt_if.conf", input));
    check(!s.brokerUri.empty() && !s.clientId.empty() && !s.topicSub.empty() && !s.topicPub.empty(),
          "an empty broker, client identifier or topic");
    check(s.qos >= 0 && s.qos <= 2, "QOS out of range");
    check(s.keepAliveS >= 0 && s.keepAliveS <= 65535, "KEEPALIVE_S out of range");
    check(s.connectTimeoutS >= 1 && s.connectTimeoutS <= 3600 && s.publishTimeoutS >= 1 &&
              s.publishTimeoutS <= 3600,
          "a time-out out of range");
}
