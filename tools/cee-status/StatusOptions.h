// Command line and settings of cee-status.
//
// The tool reads the same settings files as the two programs, through the shared loader, and
// takes from them only where the database and the result files are and how to read the times
// and retries: DB_PATH/DB_FILE and LOCALE_HOUR from cee.conf; RESULT_DIR, RESULT_FILE,
// RESULT_FAIL_FILE and UPD_RETRY_NUM from cee_upd.conf.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zorstatus {

constexpr const char* kProgram = "cee-status";
constexpr const char* kDefaultAgentConfig = "/usr/local/etc/zorcee/cee.conf";
constexpr const char* kDefaultUpdaterConfig = "/usr/local/etc/zorcee/cee_upd.conf";
constexpr int kDefaultOrders = 10;
constexpr int kMaxOrders = 1000000;

struct StatusOptions {
    std::string agentConfig = kDefaultAgentConfig;
    std::string updaterConfig = kDefaultUpdaterConfig;
    std::string database;  // --db; empty: DB_PATH + "/" + DB_FILE of cee.conf
    int orders = kDefaultOrders;
    bool json = false;
};

// Returns zorcommon::kContinue to go on, 0 after --help/--version (printed on out), or
// zorcommon::kUsageError after a one-line usage error on err.
int parseStatusCommandLine(int argc, char** argv, StatusOptions& options, std::ostream& out,
                           std::ostream& err);

// How a settings file was taken: "read", "not found, defaults used" or "not valid JSON,
// defaults used".
struct SettingsSource {
    std::string path;
    std::string status;
};

struct StatusSettings {
    std::string database;  // full path of the database file
    std::string resultDir;
    std::string resultFile;
    std::string resultFailFile;
    int retryLimit = 5;  // UPD_RETRY_NUM
    int localeHour = 9;  // LOCALE_HOUR
    std::vector<SettingsSource> sources;
};

// Fills settings from the two files (a missing file gives its defaults without a message) and
// the --db override. Never fails.
void loadStatusSettings(const StatusOptions& options, StatusSettings& settings);

}  // namespace zorstatus
