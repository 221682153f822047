// The outside-facing gateway shared by both programs: binding of the MQTT interface library
// (initConn, setReceiver, dataSender) and HTTP POST with retries through libcurl.
//
// The agent's ConnectionManager and the updater's ConnectionManagerUpd are thin variants that
// differ only in logger, unit name printed in the log lines, and HTTP settings.
// Not thread-safe: the owner makes sure that only one thread uses it at a time. The receive
// callback registered with setReceiver runs on the MQTT library's thread.
#pragma once

#include <string>

#include "Logging.h"
#include "mqtt_if.h"

namespace zorcommon {

// Default of MAX_ANSWER_BYTES: the largest answer read from a peer (32 MiB).
constexpr long kDefaultMaxAnswerBytes = 33554432;
// httpSendPost's result when the answer was larger than MAX_ANSWER_BYTES (libcurl's code for
// an exceeded file size).
constexpr int kAnswerTooLarge = 63;

struct HttpSettings {
    int retryNum = 3;                              // attempts = retryNum + 1; below 0 counts as 0
    int retryIntervalUs = 3000000;                 // pause between attempts
    long timeoutSec = 0;                           // whole transfer; 0 = none
    long connectTimeoutSec = 0;                    // connection phase; 0 = libcurl's default
    long tcpKeepAlive = 60;                        // value given to CURLOPT_TCP_KEEPALIVE
    long maxAnswerBytes = kDefaultMaxAnswerBytes;  // larger answers end the POST; <= 0: default
    std::string caFile;                            // trusted certificates (PEM); "" = the system's
    bool tlsVerify = true;                         // check the TLS peer's chain and host name
};

// The QMT_HTTP keys of a program's settings (any type with getIntValue and getStringValue) put
// over that program's defaults.
template <class Settings>
HttpSettings httpSettingsFrom(const Settings& setting, HttpSettings http) {
    http.retryNum = setting.getIntValue("RETRY_NUM");
    http.retryIntervalUs = setting.getIntValue("RETRY_INTERVAL");
    http.timeoutSec = setting.getIntValue("CURL_TIMEOUT");
    http.connectTimeoutSec = setting.getIntValue("CURL_CONNECT_TIMEOUT");
    http.maxAnswerBytes = setting.getIntValue("MAX_ANSWER_BYTES");
    http.caFile = setting.getStringValue("CA_FILE");
    http.tlsVerify = setting.getIntValue("TLS_VERIFY") != 0;
    return http;
}

class ConnectionManagerBase {
  public:
    // Writes "in ConnectionManager", and a warning naming the risk when http.tlsVerify is off;
    // stage 0.
    ConnectionManagerBase(const char* loggerName, const char* unit, const HttpSettings& http);
    // Ends the MQTT library (destroy).
    virtual ~ConnectionManagerBase();
    ConnectionManagerBase(const ConnectionManagerBase&) = delete;
    ConnectionManagerBase& operator=(const ConnectionManagerBase&) = delete;

    // 0 after construction, 1 once setup passed, or the negative step that failed.
    int getStage() const { return stage_; }
    int getConnectStatus() const;
    // initialize, setMode(1), setup(1), getTopicPub, getTopicSub. 0, or -1..-5 for the step.
    int initConn();
    int setReceiver(MqttIfReceiveCallback callback);
    // Publishes text; the library's result (0 success).
    int dataSender(const std::string& text);

    // POST with retries; text received is put into response. 0 or the last libcurl code.
    int httpSendPost(const std::string& url, const std::string& text, std::string& response);
    // kind 1 = POST, the only kind. A failed attempt is retried only when it may not have
    // reached the peer: an attempt that timed out after the connection was made (libcurl 28),
    // or whose answer was larger than maxAnswerBytes (63, the response is then empty), ends the
    // POST with that code, since the peer may have carried the request out. A TLS failure (the
    // peer's certificate or host name refused, or the handshake, CA file or cipher failed: 35,
    // 60, 77 and their neighbours) ends it too, logged with libcurl's reason in one line:
    // another attempt meets the same certificate.
    int http_access(int kind, const std::string& url, const std::string& text,
                    std::string& response);
    // One POST; libcurl's result code (0 = transfer completed, whatever the HTTP status), or -1
    // when no handle could be made. responseCode receives the HTTP status. Redirects are
    // followed as POST with the same body. A TLS peer (https, also after a redirect) must show
    // a certificate chain that caFile (or the system's store) trusts, for the URL's host, unless
    // tlsVerify is off. Never throws (libcurl's callbacks catch everything).
    int httpPostPlane(const std::string& url, const std::string& text, std::string& response,
                      long& responseCode);

  protected:
    // What one attempt learnt besides its code.
    struct Attempt {
        bool connected = false;  // a connection to the peer was made
        std::string reason;      // libcurl's own description of a failure
    };
    int postOnce(const std::string& url, const std::string& text, std::string& response,
                 long& responseCode, Attempt& attempt);

    int stage_ = 0;
    Logger log_;
    const char* unit_;
    HttpSettings http_;
};

}  // namespace zorcommon
