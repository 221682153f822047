// Settings of the MQTT interface library and their loader, apart from the client so that a
// settings file can be read (tests, fuzzing) without creating a client or touching the network.
// Not part of the library's C interface; declared for code linked against it.
#pragma once

#include <string>

namespace mqttif {

struct Settings {
    std::string brokerUri = "tcp://localhost:1883";
    std::string clientId;
    std::string topicSub = "cee/order";
    std::string topicPub = "cee/{client_id}/answer";
    std::string statusTopic;
    int qos = 1;
    int keepAliveS = 60;
    int connectTimeoutS = 10;
    int publishTimeoutS = 10;
    std::string username;
    std::string password;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// The defaults (CLIENT_ID "cee-" + host name) overlaid with the members of the JSON object in
// the file at `path`. A missing or unparsable file gives all defaults; a member of the wrong
// type or out of range keeps its default. Never throws but for memory exhaustion.
Settings loadSettingsFile(const std::string& path);

}  // namespace mqttif
