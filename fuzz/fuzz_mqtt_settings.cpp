// Fuzz target: the MQTT library's settings loader on an arbitrary settings file. Whatever the
// file holds, the settings stay usable: values in range, no empty broker, client or topic.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzUtil.h"
#include "mqtt_if_settings.h"

using fuzzutil::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzutil::writeScratchFile("mqtt_if.conf", data, size);
    const mqttif::Settings s = mqttif::loadSettingsFile(path);
    if (s.brokerUri.empty() || s.clientId.empty() || s.topicSub.empty() || s.topicPub.empty()) {
        fail("an empty broker, client identifier or topic");
    }
    if (s.qos < 0 || s.qos > 2) {
        fail("QOS out of range");
    }
    if (s.keepAliveS < 0 || s.keepAliveS > 65535) {
        fail("KEEPALIVE_S out of range");
    }
    if (s.connectTimeoutS < 1 || s.connectTimeoutS > 3600 || s.publishTimeoutS < 1 ||
        s.publishTimeoutS > 3600) {
        fail("a time-out out of range");
    }
    return 0;
}
