// MQTT interface library on the Paho asynchronous client: settings, one Client object per
// initialize(), and the nine C entry points. See mqtt_if.h for the contract.
#include "mqtt_if.h"

#include <MQTTAsync.h>
#include <picojson.h>
#include <unistd.h>

#include <cerrno>  // program_invocation_short_name
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "JsonUtil.h"
#include "mqtt_if_settings.h"

namespace {

constexpr int kOk = 0;
constexpr int kInvalid = -1;
constexpr int kRejected = -2;
constexpr int kFailed = -3;
constexpr int kTimedOut = -4;

constexpr const char* kDefaultConfPath = "/usr/local/etc/zorcee/mqtt_if.conf";
// Paho doubles the reconnect delay from the minimum up to the maximum; a small maximum keeps
// the outage after a broker restart short.
constexpr int kMinRetryIntervalS = 1;
constexpr int kMaxRetryIntervalS = 5;
// Publishes issued during a short outage wait in Paho's buffer instead of failing at once.
constexpr int kMaxBufferedMessages = 100;
constexpr int kDisconnectTimeoutMs = 1000;
// Received messages waiting for the receive callback are bounded: beyond this the client's
// network thread waits, so a burst stays on the broker instead of in memory.
constexpr std::size_t kMaxPendingBytes = 1024 * 1024;

// Set on the delivery thread while the callback handles a message the broker marked retained,
// or marked as a redelivery (duplicate flag).
thread_local bool deliveringRetained = false;
thread_local bool deliveringDuplicate = false;

std::string hostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof(buf) - 1) != 0) {
        return "unknown";
    }
    return buf;
}

// An empty value is kept out where it would make an unusable client or topic.
void readString(const picojson::object& obj, const char* key, bool allowEmpty, std::string& out) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->second.is<std::string>()) {
        return;
    }
    const std::string& value = it->second.get<std::string>();
    if (allowEmpty || !value.empty()) {
        out = value;
    }
}

void readInt(const picojson::object& obj, const char* key, int lo, int hi, int& out) {
    auto it = obj.find(key);
    if (it == obj.end() || !it->second.is<double>()) {
        return;
    }
    const double value = it->second.get<double>();
    if (value >= lo && value <= hi) {
        out = static_cast<int>(value);
    }
}

}  // namespace

namespace mqttif {

Settings loadSettingsFile(const std::string& path) {
    Settings s;
    s.clientId = "cee-" + hostName();

    std::ifstream in(path);
    if (!in) {
        return s;
    }
    std::stringstream text;
    text << in.rdbuf();
    picojson::value root;
    const std::string error = zorcommon::parseJson(root, text.str());
    // An unreadable file is treated like a missing one: the library still works on defaults.
    if (!error.empty() || !root.is<picojson::object>()) {
        return s;
    }
    const picojson::object& obj = root.get<picojson::object>();
    readString(obj, "BROKER_URI", false, s.brokerUri);
    readString(obj, "CLIENT_ID", false, s.clientId);
    readString(obj, "TOPIC_SUB", false, s.topicSub);
    readString(obj, "TOPIC_PUB", false, s.topicPub);
    readString(obj, "STATUS_TOPIC", true, s.statusTopic);
    readInt(obj, "QOS", 0, 2, s.qos);
    readInt(obj, "KEEPALIVE_S", 0, 65535, s.keepAliveS);
    readInt(obj, "CONNECT_TIMEOUT_S", 1, 3600, s.connectTimeoutS);
    readInt(obj, "PUBLISH_TIMEOUT_S", 1, 3600, s.publishTimeoutS);
    readString(obj, "USERNAME", true, s.username);
    readString(obj, "PASSWORD", true, s.password);
    readString(obj, "CA_FILE", true, s.caFile);
    readString(obj, "CERT_FILE", true, s.certFile);
    readString(obj, "KEY_FILE", true, s.keyFile);
    return s;
}

}  // namespace mqttif

namespace {

using mqttif::Settings;

Settings loadSettings() {
    const char* env = std::getenv("MQTT_IF_CONF");
    return mqttif::loadSettingsFile(env != nullptr && *env != '\0' ? env : kDefaultConfPath);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos)) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

std::string expandTopic(std::string topic, const Settings& s, const std::string& program) {
    replaceAll(topic, "{client_id}", s.clientId);
    replaceAll(topic, "{program}", program);
    return topic;
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

struct HandleDeleter {
    void operator()(void* handle) const {
        MQTTAsync h = handle;
        MQTTAsync_destroy(&h);
    }
};

// One Paho client with its settings, the messages waiting for the receive callback and the
// thread that delivers them. Paho callbacks get a raw pointer: the handle is destroyed first
// in the destructor, after which Paho calls nothing.
class Client : public std::enable_shared_from_this<Client> {
  public:
    Client(Settings settings, const std::string& program)
        : s_(std::move(settings)),
          topicPub_(expandTopic(s_.topicPub, s_, program)),
          topicSub_(expandTopic(s_.topicSub, s_, program)),
          statusTopic_(expandTopic(s_.statusTopic, s_, program)),
          brokerClientId_(s_.clientId + "-" + program) {}

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    ~Client() {
        // Joins or detaches the delivery thread; handle_ (declared last) is destroyed next.
        shutdown();
    }

    // Creates the Paho client and starts the delivery thread. False when Paho refuses.
    bool start() {
        // Paho records each of its internal function calls in a trace ring buffer (about
        // 125 KiB, allocated with the first client) whether or not trace output is wanted.
        // Unless trace output is asked for (MQTT_C_CLIENT_TRACE), only errors are recorded:
        // the buffer stays untouched and the calls do not pay for the records.
        if (std::getenv("MQTT_C_CLIENT_TRACE") == nullptr) {
            MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_ERROR);
        }
        MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
        create.sendWhileDisconnected = 1;
        create.maxBufferedMessages = kMaxBufferedMessages;
        create.MQTTVersion = MQTTVERSION_3_1_1;
        MQTTAsync raw = nullptr;
        // Outgoing messages live in memory only: a program that must not lose one keeps it
        // itself until dataSend reports the broker's acknowledgement (the agent's receipt
        // spool). The client's file persistence was a second record of the same answer, and
        // on a full file system its writes crashed the client's sending thread.
        if (MQTTAsync_createWithOptions(&raw, s_.brokerUri.c_str(), brokerClientId_.c_str(),
                                        MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                        &create) != MQTTASYNC_SUCCESS) {
            return false;
        }
        handle_.reset(raw);
        if (MQTTAsync_setCallbacks(raw, this, &Client::onConnectionLost, &Client::onMessage,
                                   nullptr) != MQTTASYNC_SUCCESS ||
            MQTTAsync_setConnected(raw, this, &Client::onConnected) != MQTTASYNC_SUCCESS) {
            return false;
        }
        // The thread owns a reference so that destroy() called from the receive callback can
        // detach it safely.
        dispatcher_ = std::thread([self = shared_from_this()] { self->deliverLoop(); });
        return true;
    }

    int connect() {
        if (MQTTAsync_isConnected(handle_.get())) {
            return kOk;
        }
        MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
        opts.keepAliveInterval = s_.keepAliveS;
        opts.cleansession = 0;
        opts.connectTimeout = s_.connectTimeoutS;
        opts.MQTTVersion = MQTTVERSION_3_1_1;
        opts.automaticReconnect = 1;
        opts.minRetryInterval = kMinRetryIntervalS;
        opts.maxRetryInterval = kMaxRetryIntervalS;
        opts.username = orNull(s_.username);
        opts.password = orNull(s_.password);
        // Paho calls these again on every automatic reconnect, so they get the client, never a
        // per-call object that may be gone by then.
        opts.onSuccess = &Client::onConnectSuccess;
        opts.onFailure = &Client::onConnectFailure;
        opts.context = this;

        MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
        if (!statusTopic_.empty()) {
            will.topicName = statusTopic_.c_str();
            will.message = "offline";
            will.retained = 1;
            will.qos = s_.qos;
            opts.will = &will;
        }
        MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
        if (s_.brokerUri.rfind("ssl://", 0) == 0 || s_.brokerUri.rfind("mqtts://", 0) == 0) {
            ssl.trustStore = orNull(s_.caFile);
            ssl.keyStore = orNull(s_.certFile);
            ssl.privateKey = orNull(s_.keyFile);
            ssl.verify = 1;
            opts.ssl = &ssl;
        }

        std::unique_lock<std::mutex> lock(mu_);
        const unsigned failuresBefore = connectFailures_;
        lock.unlock();
        if (MQTTAsync_connect(handle_.get(), &opts) != MQTTASYNC_SUCCESS) {
            return kRejected;
        }
        lock.lock();
        const bool settled = cv_.wait_for(lock, std::chrono::seconds(s_.connectTimeoutS), [&] {
            return connected_ || connectFailures_ != failuresBefore;
        });
        if (connected_) {
            return kOk;
        }
        return settled ? kFailed : kTimedOut;
    }

    int setReceive(MqttIfReceiveCallback callback) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            callback_ = callback;
        }
        cv_.notify_all();
        return request(
            s_.connectTimeoutS,
            [&](MQTTAsync_responseOptions& opts) {
                return MQTTAsync_subscribe(handle_.get(), topicSub_.c_str(), s_.qos, &opts);
            },
            true);
    }

    int publish(const std::string& topic, const std::string& text, int retained) {
        return request(s_.publishTimeoutS, [&](MQTTAsync_responseOptions& opts) {
            MQTTAsync_message msg = MQTTAsync_message_initializer;
            msg.payload = const_cast<char*>(text.data());
            msg.payloadlen = static_cast<int>(text.size());
            msg.qos = s_.qos;
            msg.retained = retained;
            return MQTTAsync_sendMessage(handle_.get(), topic.c_str(), &msg, &opts);
        });
    }

    bool isConnected() const { return handle_ && MQTTAsync_isConnected(handle_.get()); }

    // Says "offline", disconnects, then hands the messages already received to the callback
    // and stops delivery. Idempotent; the handle itself goes with the last reference.
    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (closing_) {
                return;
            }
            closing_ = true;  // the network thread no longer waits for room
        }
        cv_.notify_all();
        if (isConnected()) {
            if (!statusTopic_.empty()) {
                publish(statusTopic_, "offline", 1);
            }
            request(kDisconnectTimeoutMs / 1000 + 1, [&](MQTTAsync_responseOptions& opts) {
                MQTTAsync_disconnectOptions disc = MQTTAsync_disconnectOptions_initializer;
                disc.timeout = kDisconnectTimeoutMs;
                disc.onSuccess = opts.onSuccess;
                disc.onFailure = opts.onFailure;
                disc.context = opts.context;
                return MQTTAsync_disconnect(handle_.get(), &disc);
            });
        }
        // Messages received so far were acknowledged to the broker: they go to the callback
        // before delivery ends, or they would be lost.
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        cv_.notify_all();
        if (dispatcher_.joinable()) {
            if (dispatcher_.get_id() == std::this_thread::get_id()) {
                dispatcher_.detach();
            } else {
                dispatcher_.join();
            }
        }
    }

    const std::string& topicPub() const { return topicPub_; }
    const std::string& topicSub() const { return topicSub_; }

  private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        bool duplicate = false;
    };

    // One subscribe, publish or disconnect in flight. The client keeps it until Paho answers
    // (or the client goes), so a late answer after a timed-out wait finds it still alive.
    struct Request {
        Client* owner = nullptr;
        bool subscribe = false;
        bool done = false;
        bool ok = false;
    };

    // Submits one Paho call with our success/failure callbacks and waits for the answer.
    int request(int timeoutS, const std::function<int(MQTTAsync_responseOptions&)>& submit,
                bool subscribe = false) {
        auto req = std::make_shared<Request>();
        req->owner = this;
        req->subscribe = subscribe;
        {
            std::lock_guard<std::mutex> lock(mu_);
            inflight_.emplace(req.get(), req);
        }
        MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
        opts.onSuccess = &Client::onRequestSuccess;
        opts.onFailure = &Client::onRequestFailure;
        opts.context = req.get();
        const int rc = submit(opts);
        std::unique_lock<std::mutex> lock(mu_);
        if (rc != MQTTASYNC_SUCCESS) {
            inflight_.erase(req.get());
            return kRejected;
        }
        if (!cv_.wait_for(lock, std::chrono::seconds(timeoutS), [&] { return req->done; })) {
            return kTimedOut;
        }
        return req->ok ? kOk : kFailed;
    }

    static void finishRequest(Request* req, bool ok) {
        Client* self = req->owner;
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            req->done = true;
            req->ok = ok;
            self->inflight_.erase(req);  // may free req: not touched below
        }
        self->cv_.notify_all();
    }

    static void onRequestSuccess(void* context, MQTTAsync_successData* data) {
        auto* req = static_cast<Request*>(context);
        // A refused subscription comes back as granted QoS 0x80.
        finishRequest(req, !req->subscribe || data == nullptr || data->alt.qos != 0x80);
    }

    static void onRequestFailure(void* context, MQTTAsync_failureData* /*data*/) {
        finishRequest(static_cast<Request*>(context), false);
    }

    static void onConnectSuccess(void* context, MQTTAsync_successData* /*data*/) {
        auto* self = static_cast<Client*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            self->connected_ = true;
        }
        self->cv_.notify_all();
    }

    static void onConnectFailure(void* context, MQTTAsync_failureData* /*data*/) {
        auto* self = static_cast<Client*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            ++self->connectFailures_;
        }
        self->cv_.notify_all();
    }

    // Runs for the first connect and every automatic reconnect. The broker may have lost the
    // session (restart without persistence), so the subscription is renewed each time.
    static void onConnected(void* context, char* /*cause*/) {
        auto* self = static_cast<Client*>(context);
        bool subscribe = false;
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            self->connected_ = true;
            subscribe = self->callback_ != nullptr;
        }
        self->cv_.notify_all();
        MQTTAsync h = self->handle_.get();
        if (subscribe) {
            MQTTAsync_subscribe(h, self->topicSub_.c_str(), self->s_.qos, nullptr);
        }
        if (!self->statusTopic_.empty()) {
            MQTTAsync_send(h, self->statusTopic_.c_str(), 6, "online", self->s_.qos, 1, nullptr);
        }
    }

    static void onConnectionLost(void* context, char* cause) {
        auto* self = static_cast<Client*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            self->connected_ = false;
        }
        self->cv_.notify_all();
        MQTTAsync_free(cause);
    }

    // Queues the message for the delivery thread, so it is kept until a callback exists and
    // the user callback may itself wait on Paho (dataSend) without blocking Paho's thread.
    static int onMessage(void* context, char* topicName, int topicLen, MQTTAsync_message* msg) {
        auto* self = static_cast<Client*>(context);
        try {
            Message m;
            m.topic = topicLen > 0 ? std::string(topicName, static_cast<size_t>(topicLen))
                                   : std::string(topicName);
            if (msg->payload != nullptr && msg->payloadlen > 0) {
                m.payload.assign(static_cast<const char*>(msg->payload),
                                 static_cast<size_t>(msg->payloadlen));
            }
            m.retained = msg->retained != 0;
            m.duplicate = msg->dup != 0;
            {
                std::unique_lock<std::mutex> lock(self->mu_);
                // Waiting here holds further messages back in the socket and on the broker.
                self->cv_.wait(lock, [&] {
                    return self->closing_ || self->pending_.empty() ||
                           self->pendingBytes_ < kMaxPendingBytes;
                });
                self->pendingBytes_ += m.payload.size();
                self->pending_.push_back(std::move(m));
            }
            self->cv_.notify_all();
        } catch (...) {
            return 0;  // not taken: Paho keeps the message and offers it again
        }
        MQTTAsync_freeMessage(&msg);
        MQTTAsync_free(topicName);
        return 1;
    }

    void deliverLoop() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            cv_.wait(lock, [&] { return stopping_ || (callback_ && !pending_.empty()); });
            if (!callback_ || pending_.empty()) {
                return;  // stopping, nothing left to hand over
            }
            Message m = std::move(pending_.front());
            pending_.pop_front();
            pendingBytes_ -= m.payload.size();
            const MqttIfReceiveCallback callback = callback_;
            lock.unlock();
            cv_.notify_all();  // room for the network thread
            deliveringRetained = m.retained;
            deliveringDuplicate = m.duplicate;
            try {
                callback(m.topic.c_str(), m.payload.c_str());
            } catch (...) {
                // The contract forbids throwing; a throwing callback must not end delivery.
            }
            deliveringRetained = false;
            deliveringDuplicate = false;
            lock.lock();
        }
    }

    const Settings s_;
    const std::string topicPub_;
    const std::string topicSub_;
    const std::string statusTopic_;
    const std::string brokerClientId_;

    std::mutex mu_;
    std::condition_variable cv_;
    bool closing_ = false;   // shutdown began: no more waiting for room
    bool stopping_ = false;  // delivery ends once the messages received are handed over
    bool connected_ = false;
    unsigned connectFailures_ = 0;
    MqttIfReceiveCallback callback_ = nullptr;
    std::deque<Message> pending_;
    std::size_t pendingBytes_ = 0;
    std::map<Request*, std::shared_ptr<Request>> inflight_;
    std::thread dispatcher_;
    std::unique_ptr<void, HandleDeleter> handle_;  // last: destroyed first
};

std::mutex g_mutex;
std::shared_ptr<Client> g_client;

std::shared_ptr<Client> currentClient() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_client;
}

int copyTopic(const std::string& topic, char* out) {
    if (out == nullptr || topic.size() >= MQTT_IF_TOPIC_SIZE) {
        return kInvalid;
    }
    std::memcpy(out, topic.c_str(), topic.size() + 1);
    return kOk;
}

}  // namespace

extern "C" {

int initialize(void) {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_client) {
            return kOk;
        }
        auto client = std::make_shared<Client>(loadSettings(), program_invocation_short_name);
        if (!client->start()) {
            return kInvalid;
        }
        g_client = std::move(client);
        return kOk;
    } catch (...) {
        return kInvalid;
    }
}

int setMode(int mode) {
    return mode == 1 ? kOk : kInvalid;
}

int setup(int /*app*/) {
    try {
        auto client = currentClient();
        return client ? client->connect() : kInvalid;
    } catch (...) {
        return kInvalid;
    }
}

int getTopicPub(char* topic) {
    auto client = currentClient();
    return client ? copyTopic(client->topicPub(), topic) : kInvalid;
}

int getTopicSub(char* topic) {
    auto client = currentClient();
    return client ? copyTopic(client->topicSub(), topic) : kInvalid;
}

int setReceive(MqttIfReceiveCallback callback) {
    try {
        auto client = currentClient();
        if (!client || callback == nullptr) {
            return kInvalid;
        }
        return client->setReceive(callback);
    } catch (...) {
        return kInvalid;
    }
}

int dataSend(int kind, int flag, const char* text, char* /*buffer*/) {
    try {
        auto client = currentClient();
        if (kind != 1 || flag != 0 || text == nullptr || !client) {
            return kInvalid;
        }
        return client->publish(client->topicPub(), text, 0);
    } catch (...) {
        return kInvalid;
    }
}

int getReceiveRetained(void) {
    return deliveringRetained ? 1 : 0;
}

int getReceiveDuplicate(void) {
    return deliveringDuplicate ? 1 : 0;
}

int getConnectStatus(void) {
    auto client = currentClient();
    return client && client->isConnected() ? 1 : 0;
}

int destroy(void) {
    try {
        std::shared_ptr<Client> client;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            client.swap(g_client);
        }
        if (client) {
            client->shutdown();
        }
    } catch (...) {
        // Nothing left to report to: destroy always succeeds from the caller's view.
    }
    return kOk;
}

}  // extern "C"
