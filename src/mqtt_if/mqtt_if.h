// MQTT interface library: the nine calls through which both programs reach the broker.
//
// Settings come from the JSON object in the file named by the environment variable MQTT_IF_CONF
// (default /usr/local/etc/zorcee/mqtt_if.conf). A missing or unparsable file means all
// defaults; a member of the wrong type or out of range (QOS 0-2, timeouts 1-3600 s, an empty
// BROKER_URI, CLIENT_ID, TOPIC_SUB or TOPIC_PUB) keeps its default.
//
// One persistent session (clean session off) per program: the client identifier sent to the
// broker is CLIENT_ID + "-" + the program's name (the base name of the running executable).
// In TOPIC_SUB, TOPIC_PUB and STATUS_TOPIC, "{client_id}" stands for the CLIENT_ID setting
// itself (without the program suffix) and "{program}" for the program's name.
// A lost connection is re-established by the client itself (first retry after about 1 s, the
// delay doubling up to 5 s);
// after every (re)connect the subscription is renewed if setReceive was called, and "online"
// is published retained on STATUS_TOPIC when set (last will: retained "offline").
//
// Negative results: -1 bad argument or not initialised, -2 the request could not be issued
// (e.g. not connected), -3 the broker or the network refused it, -4 no answer in time.
//
// All functions are safe to call from any thread. Received messages are delivered one at a
// time, in arrival order, on a thread of the library's own (not the MQTT client's network
// thread). Messages that arrive before a callback is registered (queued on the broker while
// the program was away) are kept until one is. At most about 1 MiB of received messages waits
// for the callback; beyond that the network thread waits, so the callback should not wait for
// the broker (dataSend) while messages are arriving.
//
// Outgoing messages are kept in memory only, until the broker acknowledged them or the program
// ends: a caller that must not lose a message keeps it until dataSend returned 0. The setting
// PERSISTENCE_DIR of earlier versions is ignored.
#ifndef MQTT_IF_H
#define MQTT_IF_H

#ifdef __cplusplus
extern "C" {
#endif

// Size of the topic buffers handed to getTopicPub/getTopicSub.
#define MQTT_IF_TOPIC_SIZE 128

// Receives one message: topic and payload as NUL-terminated texts, valid during the call only.
// Must not throw.
typedef void (*MqttIfReceiveCallback)(const char* topic, const char* message);

// Loads the settings and creates the client. 0, or -1 when the client cannot be created (for
// instance an unknown scheme in BROKER_URI). Calling it again before destroy() changes nothing.
int initialize(void);
// Selects the transport; only 1 (MQTT) is known. 0, or -1 for any other value.
int setMode(int mode);
// Connects (without subscribing) and waits up to CONNECT_TIMEOUT_S. 0 (also when already
// connected), or negative. app is not interpreted.
int setup(int app);
// Copy the publish / subscribe topic into a MQTT_IF_TOPIC_SIZE buffer. 0, or -1 if it does
// not fit or the library is not initialised.
int getTopicPub(char* topic);
int getTopicSub(char* topic);
// Registers the callback and subscribes to TOPIC_SUB with QOS, waiting for the acknowledgement
// up to CONNECT_TIMEOUT_S. Messages that arrived before (persistent session) are handed over
// now. When it fails, the callback stays registered and the next (re)connect subscribes.
int setReceive(MqttIfReceiveCallback callback);
// Publishes text on TOPIC_PUB with QOS, not retained, and waits for the acknowledgement up to
// PUBLISH_TIMEOUT_S. kind must be 1 and flag 0, else -1. buffer is not used. During a short
// outage the message waits in the client for the reconnect; one that timed out may therefore
// still reach the broker later (at-least-once).
int dataSend(int kind, int flag, const char* text, char* buffer);
// 1 while connected, 0 otherwise (also before initialize).
int getConnectStatus(void);
// 1 when called from the receive callback for a message the broker delivered with the
// retained flag (a retained message handed over because of a (re)subscription), else 0.
int getReceiveRetained(void);
// 1 when called from the receive callback for a message the broker delivered with the
// duplicate flag (sent again because its acknowledgement did not reach the broker), else 0.
int getReceiveDuplicate(void);
// Publishes "offline" (retained) on the status topic if set, disconnects, hands messages
// already received to the callback and frees everything. Safe to call twice, before
// initialize, and from the receive callback. Always 0.
int destroy(void);

#ifdef __cplusplus
}
#endif

#endif  // MQTT_IF_H
