// The updater's connection manager: the shared MQTT binding and HTTP POST with retries, with
// the updater's logger ("upd"), its own unit name in the log lines and the HTTP settings of
// cee_upd.conf (RETRY_NUM, RETRY_INTERVAL, CURL_TIMEOUT, CURL_CONNECT_TIMEOUT, MAX_ANSWER_BYTES,
// CA_FILE, TLS_VERIFY; keep-alive 1).
//
// Created once at start-up, deleted by endMain (which ends the MQTT library). The updater only
// initialises the MQTT library and never subscribes; it posts through httpSendPost.
// Single-threaded use.
#pragma once

#include "ConnectionManagerBase.h"

namespace zorupd {
namespace conn {

class ConnectionManagerUpd : public zorcommon::ConnectionManagerBase {
  public:
    // Reads the HTTP settings from the settings singleton (defaults when it does not exist).
    ConnectionManagerUpd();

    // The HTTP settings the manager is built with.
    static zorcommon::HttpSettings httpSettings();
};

}  // namespace conn
}  // namespace zorupd
