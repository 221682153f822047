#include "ConnectionManagerBase.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace zorcommon {

static_assert(kAnswerTooLarge == CURLE_FILESIZE_EXCEEDED, "the header's code is libcurl's");

namespace {
constexpr size_t kTopicSize = MQTT_IF_TOPIC_SIZE;
constexpr size_t kSendBufferSize = 512000;

const char* result(bool ok) {
    return ok ? "success" : "failed";
}

// Where libcurl's callbacks of one attempt put what they learn. The callbacks are C callbacks:
// nothing may be thrown through them.
struct Transfer {
    std::string* response;
    size_t limit;
    bool tooLarge = false;
    bool outOfMemory = false;
    bool connected = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* userp) {
    auto* t = static_cast<Transfer*>(userp);
    const size_t n = size * count;
    std::string& body = *t->response;
    if (n > t->limit - body.size()) {
        t->tooLarge = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    try {
        if (body.size() + n > body.capacity()) {
            // Grow geometrically but never past the limit.
            body.reserve(std::min(std::max(body.size() + n, body.capacity() * 2), t->limit));
        }
        body.append(data, n);
    } catch (...) {
        t->outOfMemory = true;
        return 0;
    }
    return n;
}

// Called once a connection to the peer is up, before the request goes out.
int noteConnected(void* userp, char*, char*, int, int) {
    static_cast<Transfer*>(userp)->connected = true;
    return CURL_PREREQFUNC_OK;
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

// HTTP/2 for an https URL, if the peer offers it. The peer checks apply whatever the URL's
// scheme, since a redirect may lead to https: chain and host name against caFile, or the
// system's store when it is empty; with a caFile it alone is trusted.
void setTlsOptions(CURL* h, const std::string& url, const HttpSettings& http) {
    if (url.compare(0, 5, "https") == 0) {
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2_0));
    }
    if (!http.tlsVerify) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        return;
    }
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!http.caFile.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, http.caFile.c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
}

// Whether a libcurl code says that no trusted TLS connection could be made: the peer's
// certificate or host name was refused, or the TLS set-up itself (handshake, CA file, ciphers,
// certificate status) failed.
bool isTlsFailure(int curlCode) {
    switch (curlCode) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_OBSOLETE51:  // the peer's verification, in libcurl before 7.62
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return true;
        default:
            return false;
    }
}
}  // namespace

ConnectionManagerBase::ConnectionManagerBase(const char* loggerName, const char* unit,
                                             const HttpSettings& http)
    : log_(spdlog::get(loggerName)), unit_(unit), http_(http) {
    globalCurlInit();
    ZLOG_UNIT_I(log_, unit_, "[{}:{}] in ConnectionManager");
    if (!http_.tlsVerify) {
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in ConnectionManager : TLS_VERIFY is false : https servers are not "
                    "verified, anyone on the network path can read and answer the posts");
    }
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
    bool first = true;
    while (true) {
        if (!first && http_.retryIntervalUs > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(http_.retryIntervalUs));
        }
        first = false;
        bool repeatable = true;
        if (kind == 1) {
            // A failed attempt's partial answer must not end up in front of the next one.
            response.clear();
            long code = 0;
            Attempt attempt;
            rc = postOnce(url, text, response, code, attempt);
            if (rc == 0) {
                return 0;
            }
            if (isTlsFailure(rc)) {
                ZLOG_UNIT_W(log_, unit_,
                            "[{}:{}] in http_access : failed to access url : not retried, TLS "
                            "verification failed ({}) : {}",
                            rc, attempt.reason);
                return rc;
            }
            repeatable = !(rc == CURLE_OPERATION_TIMEDOUT && attempt.connected) &&
                         rc != CURLE_FILESIZE_EXCEEDED;
        }
        if (!repeatable) {
            ZLOG_UNIT_W(log_, unit_,
                        "[{}:{}] in http_access : failed to access url : not retried, the peer "
                        "may have carried the request out ({})",
                        rc);
            return rc;
        }
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in http_access : failed to access url : Retry remaining -> {}",
                    remaining);
        // Compared before counting down: a count at INT_MIN must not wrap around.
        if (remaining <= 0) {
            return rc;
        }
        --remaining;
    }
}

int ConnectionManagerBase::httpPostPlane(const std::string& url, const std::string& text,
                                         std::string& response, long& responseCode) {
    Attempt attempt;
    return postOnce(url, text, response, responseCode, attempt);
}

int ConnectionManagerBase::postOnce(const std::string& url, const std::string& text,
                                    std::string& response, long& responseCode, Attempt& attempt) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in httpPostPlane : curl object is null (failed : curl_easy_init())");
        return -1;
    }
    const long limit = http_.maxAnswerBytes > 0 ? http_.maxAnswerBytes : kDefaultMaxAnswerBytes;
    Transfer transfer{&response, static_cast<size_t>(limit)};
    if (response.size() > transfer.limit) {
        response.clear();
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
    // Without this a 301/302/303 answer turns the POST into a GET without the body.
    curl_easy_setopt(h, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    if (http_.connectTimeoutSec > 0) {
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, http_.connectTimeoutSec);
    }
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, http_.tcpKeepAlive);
    setTlsOptions(h, url, http_);
    char reason[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, reason);
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: text/xml"));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    // An announced length above the limit ends the transfer before the body is read.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, noteConnected);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);

    if (log_) {
        log_->info("    data.length={}, data.c_str={}|", text.size(), LogText{text});
    }
    // Without post fields libcurl would read the body from standard input; an empty text is
    // sent as a POST with an empty body instead.
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(text.c_str())));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, text.c_str());

    CURLcode rc = curl_easy_perform(h);
    attempt.connected = transfer.connected;
    attempt.reason = reason[0] != '\0' ? reason : curl_easy_strerror(rc);
    if (rc == CURLE_FILESIZE_EXCEEDED || transfer.tooLarge) {
        rc = CURLE_FILESIZE_EXCEEDED;
        // Nothing of an answer that was cut off is kept (it would be stored with the order).
        std::string().swap(response);
        ZLOG_UNIT_W(log_, unit_,
                    "[{}:{}] in httpPostPlane : failed -> answer larger than MAX_ANSWER_BYTES "
                    "({} bytes)",
                    limit);
    } else if (transfer.outOfMemory) {
        rc = CURLE_OUT_OF_MEMORY;
        std::string().swap(response);
        ZLOG_UNIT_W(log_, unit_, "[{}:{}] in httpPostPlane : failed -> {}", curl_easy_strerror(rc));
    } else if (rc != CURLE_OK) {
        ZLOG_UNIT_W(log_, unit_, "[{}:{}] in httpPostPlane : failed -> {}", curl_easy_strerror(rc));
    } else {
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &responseCode);
    }
    return static_cast<int>(rc);
}

}  // namespace zorcommon
