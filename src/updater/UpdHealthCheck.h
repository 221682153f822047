// The device's health as the updater sees it after an installation: the settings of section
// HEALTH and one round of checks.
//
// A round checks, in this order and stopping at the first failure: that the given package
// files are installed (the same dpkg listing the old-version look-up reads; no files: not
// checked, as for the baseline before an installation), that the logger application answers
// one POST of a small status request over its local HTTP interface with a well-formed
// commandResponse (any status) within CURL_TIMEOUT, and that the optional COMMAND exits 0
// within COMMAND_TIMEOUT_S (run through the shell in a process group of its own, killed at the
// time-out, its output bounded). Each check writes one log line with its result. Single-threaded.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Logging.h"
#include "communication/ConnectionManagerUpd.h"
#include "data/SettingData.h"

namespace zorupd {

struct HealthSettings {
    bool enabled = true;
    int settleS = 60;
    int intervalS = 30;
    int windowS = 600;
    int consecutiveOk = 2;
    int maxVerifyStarts = 3;
    std::string command;  // "" none
    int commandTimeoutS = 30;
    bool autoRollback = true;
    int maxRollbackAttempts = 2;
};

// Section HEALTH of the settings; a value out of range gives its default, with a warning on
// `warnTo` when it is given. A window too short for the checks it must hold is lengthened.
HealthSettings readHealthSettings(const data::SettingData& setting,
                                  const zorcommon::Logger* warnTo);

// Outcome of a round: ok, or the failed check and what it saw ("http : no answer (7)").
struct HealthResult {
    bool ok = true;
    std::string failed;
};

class UpdHealthCheck {
  public:
    // The installed package files for package names (cee_upd::installedFiles); its count, or
    // a negative code when the listing could not be read.
    using InstalledFiles =
        std::function<int(const std::vector<std::string>&, std::vector<std::string>&)>;

    // `manager` posts the HTTP request (may be null: the check then fails); `url` is the
    // logger application's.
    UpdHealthCheck(const HealthSettings& settings, InstalledFiles installed,
                   conn::ConnectionManagerUpd* manager, std::string url, zorcommon::Logger log);

    // One round; `round` numbers its log lines.
    HealthResult checkOnce(const std::vector<std::string>& files, int round);

    // The request the HTTP check posts.
    static const char* const kRequest;

  private:
    HealthResult checkPackages(const std::vector<std::string>& files);
    HealthResult checkHttp();
    HealthResult checkCommand();

    const HealthSettings& settings_;
    InstalledFiles installed_;
    conn::ConnectionManagerUpd* manager_;
    std::string url_;
    zorcommon::Logger log_;
};

}  // namespace zorupd
