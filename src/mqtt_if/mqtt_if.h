// MQTT interface library: the nine calls through which both programs reach the broker.
//
// Settings come from the JSON file named by the environment variable MQTT_IF_CONF (default
// /usr/local/etc/zorcee/mqtt_if.conf); a missing file means all defaults. One persistent
// session per program: the client identifier is CLIENT_ID + "-" + the program's name.
// All functions are safe to call from any thread; the receive callback runs on the MQTT
// client's own thread and must not throw.
#ifndef MQTT_IF_H
#define MQTT_IF_H

#ifdef __cplusplus
extern "C" {
#endif

// Size of the topic buffers handed to getTopicPub/getTopicSub.
#define MQTT_IF_TOPIC_SIZE 128

// Receives one message: topic and payload as NUL-terminated texts, valid during the call only.
typedef void (*MqttIfReceiveCallback)(const char* topic, const char* message);

// Loads the settings and creates the client. 0, or -1 when the client cannot be created.
int initialize(void);
// Selects the transport; only 1 (MQTT) is known. 0, or -1 for any other value.
int setMode(int mode);
// Connects (without subscribing) and waits up to CONNECT_TIMEOUT_S. 0, or negative.
int setup(int app);
// Copy the publish / subscribe topic into a MQTT_IF_TOPIC_SIZE buffer. 0, or -1 if it does
// not fit or the library is not initialised.
int getTopicPub(char* topic);
int getTopicSub(char* topic);
// Registers the callback and subscribes to TOPIC_SUB, waiting for the acknowledgement up to
// CONNECT_TIMEOUT_S. Messages that arrived before (persistent session) are handed over now.
int setReceive(MqttIfReceiveCallback callback);
// Publishes text on TOPIC_PUB and waits for the acknowledgement up to PUBLISH_TIMEOUT_S.
// kind must be 1 and flag 0, else -1. buffer is scratch space the library may ignore.
int dataSend(int kind, int flag, const char* text, char* buffer);
// 1 while connected, 0 otherwise (also before initialize).
int getConnectStatus(void);
// Publishes "offline" on the status topic if set, disconnects and frees everything.
// Safe to call twice. Always 0.
int destroy(void);

#ifdef __cplusplus
}
#endif

#endif  // MQTT_IF_H
