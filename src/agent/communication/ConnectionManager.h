// The agent's single gateway to the outside: MQTT through the interface library, HTTP POST
// with retries to the logger application and to result servers.
//
// Created once by initMain, deleted by endMain. Shared by the main thread and the order thread,
// which never use it at the same time (the main loop joins the order thread).
#pragma once

#include "ConnectionManagerBase.h"

namespace zorcee {
namespace conn {

class ConnectionManager : public zorcommon::ConnectionManagerBase {
  public:
    // Takes the QMT_HTTP settings (httpSettingsFrom) from the settings singleton (defaults when
    // it does not exist).
    ConnectionManager();
};

}  // namespace conn
}  // namespace zorcee
