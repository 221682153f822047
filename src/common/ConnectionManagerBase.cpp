#include "ConnectionManagerBase.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace zorcommon {

namespace {
constexpr size_t kTopicSize = MQTT_IF_TOPIC_SIZE;
constexpr size_t kSendBufferSize = 512000;

const char* result(bool ok) {
    return ok ? "success" : "failed";
}

size_t appendBody(char* data, size_t size, size_t count, void* userp) {
    static_cast<std::string*>(userp)->append(data, size * count);
    return size * count;
}

// curl_global_init is not thread-safe; do it once before the first handle.
void globalCurlInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
}  // namespace

ConnectionManagerBase::ConnectionManagerBase(const char* loggerName, const char* unit,
                                             const HttpSettings& http)
    : log_(spdlog::get(loggerName)), unit_(unit), http_(http) {
    globalCurlInit();
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in ConnectionManager");
}

ConnectionManagerBase::~ConnectionManagerBase() {
    destroy();
}

int ConnectionManagerBase::getConnectStatus() const {
    return ::getConnectStatus();
}

int ConnectionManagerBase::initConn() {
    const bool inited = ::initialize() == 0;
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in initConn : initialize -> {}", result(inited));
    if (!inited) {
        flushLog(log_);
        return stage_ = -1;
    }
    const bool moded = ::setMode(1) == 0;
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in initConn : setMode({}) -> {}", "MODE_MQTT", result(moded));
    if (!moded) {
        flushLog(log_);
        return stage_ = -2;
    }
    const int rc = ::setup(1);
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in initConn : setup({}) -> {} ({})", "APP_CMD",
                result(rc == 0), rc);
    if (rc != 0) {
        flushLog(log_);
        return stage_ = -3;
    }
    stage_ = 1;

    char topic[kTopicSize];
    std::memset(topic, 0, sizeof topic);
    const bool pub = ::getTopicPub(topic) == 0;
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in initConn : getTopicPub -> {} : publisher topic -> {}",
                result(pub), topic);
    if (!pub) {
        flushLog(log_);
        return stage_ = -4;
    }
    std::memset(topic, 0, sizeof topic);
    const bool sub = ::getTopicSub(topic) == 0;
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in initConn : getTopicSub -> {} : subscriber topic -> {}",
                result(sub), topic);
    if (!sub) {
        flushLog(log_);
        return stage_ = -5;
    }
    return 0;
}

int ConnectionManagerBase::setReceiver(MqttIfReceiveCallback callback) {
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in setReceiver");
    return ::setReceive(callback);
}

int ConnectionManagerBase::dataSender(const std::string& text) {
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in dataSender : send data ->{}", text);
    // Left uninitialised: the library may write into it but nobody reads it, and zero-filling
    // half a megabyte for every answer would leave that much dirty memory in the heap.
    const std::unique_ptr<char[]> scratch(new char[kSendBufferSize]);
    const int rc = ::dataSend(1, 0, text.c_str(), scratch.get());
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in dataSender : result -> {} : send end", result(rc == 0));
    return rc;
}

int ConnectionManagerBase::httpSendPost(const std::string& url, const std::string& text,
                                        std::string& response) {
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in httpSendPost : url -> {}, send data -> {}|", url, text);
    return http_access(1, url, text, response);
}

int ConnectionManagerBase::http_access(int kind, const std::string& url, const std::string& text,
                                       std::string& response) {
    int remaining = http_.retryNum;
    int rc = -1;
    while (true) {
        if (remaining != http_.retryNum && http_.retryIntervalUs > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(http_.retryIntervalUs));
        }
        if (kind == 1) {
            // A failed attempt's partial answer must not end up in front of the next one.
            response.clear();
            long code = 0;
            rc = httpPostPlane(url, text, response, code);
            if (rc == 0) {
                return 0;
            }
        }
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in http_access : failed to access url : Retry remaining -> {}",
                    remaining);
        if (--remaining < 0) {
            return rc;
        }
    }
}

int ConnectionManagerBase::httpPostPlane(const std::string& url, const std::string& text,
                                         std::string& response, long& responseCode) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in httpPostPlane : curl object is null (failed : curl_easy_init())");
        return -1;
    }
    CURL* h = curl.get();
    // Never raise signals from libcurl: the agent posts from a worker thread.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (http_.timeoutSec > 0) {
        curl_easy_setopt(h, CURLOPT_TIMEOUT, http_.timeoutSec);
    }
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "harbolink/1.0");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 50L);
    if (http_.connectTimeoutSec > 0) {
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, http_.connectTimeoutSec);
    }
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, http_.tcpKeepAlive);
    if (url.compare(0, 5, "https") == 0) {
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2_0));
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: text/xml"));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);

    logPlain(log_, fmt::format("    data.length={}, data.c_str={}|", text.size(), text));
    // Without post fields libcurl would read the body from standard input; an empty text is
    // sent as a POST with an empty body instead.
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(text.c_str())));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, text.c_str());

    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        ZLOG_UNIT_W(log_, unit_, "[{}:{}] in httpPostPlane : failed -> {}", curl_easy_strerror(rc));
    } else {
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &responseCode);
    }
    return static_cast<int>(rc);
}

}  // namespace zorcommon
