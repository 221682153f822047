#include "UpdHealthCheck.h"

#include <sys/wait.h>
#include <tinyxml2.h>

#include <algorithm>

#include "ExecCmd.h"

namespace zorupd {

namespace {
// A COMMAND's output beyond this is cut off (the check fails): a check prints a line or two.
constexpr size_t kMaxCommandOutput = 64 * 1024;
// What a failure text quotes of an answer or an output.
constexpr size_t kQuoteChars = 120;

std::string quote(const std::string& text) {
    std::string out = text.substr(0, kQuoteChars);
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return out;
}

struct IntRange {
    const char* key;
    int HealthSettings::*field;
    int min;
};
const IntRange kIntSettings[] = {
    {"SETTLE_S", &HealthSettings::settleS, 0},
    {"INTERVAL_S", &HealthSettings::intervalS, 1},
    {"WINDOW_S", &HealthSettings::windowS, 1},
    {"CONSECUTIVE_OK", &HealthSettings::consecutiveOk, 1},
    {"MAX_VERIFY_STARTS", &HealthSettings::maxVerifyStarts, 1},
    {"COMMAND_TIMEOUT_S", &HealthSettings::commandTimeoutS, 1},
    {"MAX_ROLLBACK_ATTEMPTS", &HealthSettings::maxRollbackAttempts, 1},
};
// Longest wait the settings may ask for: a day. Larger values are mistakes, not waits.
constexpr int kMaxSeconds = 86400;
}  // namespace

HealthSettings readHealthSettings(const data::SettingData& setting,
                                  const zorcommon::Logger* warnTo) {
    HealthSettings s;
    s.enabled = setting.getIntValue("ENABLED") != 0;
    s.autoRollback = setting.getIntValue("AUTO_ROLLBACK") != 0;
    s.command = setting.getStringValue("COMMAND");
    for (const auto& r : kIntSettings) {
        const int value = setting.getIntValue(r.key);
        if (value >= r.min && value <= kMaxSeconds) {
            s.*r.field = value;
        } else if (warnTo != nullptr) {
            ZLOG_W(*warnTo, "[{}:{}] setting {} -> {} is out of range : default {} is used", r.key,
                   value, s.*r.field);
        }
    }
    const int needed = s.settleS + (s.consecutiveOk - 1) * s.intervalS;
    if (s.windowS < needed) {
        if (warnTo != nullptr) {
            ZLOG_W(*warnTo,
                   "[{}:{}] setting WINDOW_S -> {} cannot hold {} checks after SETTLE_S : {} is "
                   "used",
                   s.windowS, s.consecutiveOk, needed);
        }
        s.windowS = needed;
    }
    return s;
}

const char* const UpdHealthCheck::kRequest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><commandRequest id=\"0\"><command>HealthCheck"
    "</command><requestData/></commandRequest>";

UpdHealthCheck::UpdHealthCheck(const HealthSettings& settings, InstalledFiles installed,
                               conn::ConnectionManagerUpd* manager, std::string url,
                               zorcommon::Logger log)
    : settings_(settings),
      installed_(std::move(installed)),
      manager_(manager),
      url_(std::move(url)),
      log_(std::move(log)) {}

HealthResult UpdHealthCheck::checkOnce(const std::vector<std::string>& files, int round) {
    auto logged = [&](const char* name, HealthResult r) {
        // A failure's text begins with the check's name.
        ZLOG_I(log_, "[{}:{}] health check {} : {}", round,
               r.ok ? std::string(name) + " : ok" : r.failed);
        return r;
    };
    HealthResult result;
    if (!files.empty()) {
        result = logged("packages", checkPackages(files));
    }
    if (result.ok) {
        result = logged("http", checkHttp());
    }
    if (result.ok && !settings_.command.empty()) {
        result = logged("command", checkCommand());
    }
    zorcommon::flushLog(log_);
    return result;
}

HealthResult UpdHealthCheck::checkPackages(const std::vector<std::string>& files) {
    std::vector<std::string> names, installed;
    for (const auto& f : files) {
        names.push_back(f.substr(0, f.find('_')));
    }
    const int n = installed_(names, installed);
    if (n < 0) {
        return {false, "packages : listing not read -> " + std::to_string(n)};
    }
    for (const auto& f : files) {
        if (std::find(installed.begin(), installed.end(), f) != installed.end()) {
            continue;
        }
        const std::string head = f.substr(0, f.find('_') + 1);
        const auto found = std::find_if(installed.begin(), installed.end(),
                                        [&](const auto& i) { return i.rfind(head, 0) == 0; });
        return {false, "packages : " + f + " not installed (found " +
                           (found == installed.end() ? std::string("none") : *found) + ")"};
    }
    return {};
}

HealthResult UpdHealthCheck::checkHttp() {
    if (manager_ == nullptr) {
        return {false, "http : no connection manager"};
    }
    std::string answer;
    long status = 0;
    const int rc = manager_->httpPostPlane(url_, kRequest, answer, status);
    if (rc != 0) {
        return {false, "http : no answer -> " + std::to_string(rc)};
    }
    if (status != 200) {
        return {false, "http : status " + std::to_string(status)};
    }
    tinyxml2::XMLDocument doc;
    doc.Parse(answer.data(), answer.size());
    const auto* root = doc.FirstChildElement("commandResponse");
    if (doc.Error() || root == nullptr || root->FirstChildElement("status") == nullptr) {
        return {false, "http : not a commandResponse : " + quote(answer)};
    }
    return {};
}

HealthResult UpdHealthCheck::checkCommand() {
    std::string output;
    int status = 0;
    const auto r = zorcommon::execCmdBounded(settings_.command, kMaxCommandOutput,
                                             settings_.commandTimeoutS * 1000, output, status);
    if (r != zorcommon::BoundedExecResult::Ok) {
        return {false, std::string("command : ") + zorcommon::boundedExecResultText(r)};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string how = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                                  : "signal " + std::to_string(WTERMSIG(status));
        return {false, "command : " + how + (output.empty() ? "" : " : " + quote(output))};
    }
    return {};
}

}  // namespace zorupd
