#include "StatusOptions.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "CommandLine.h"
#include "SettingStore.h"
#include "Version.h"

namespace zorstatus {

namespace {
using zorcommon::SettingKind;
using zorcommon::SettingSpec;

const char* const kUsageLine =
    "cee-status [-c|--config FILE] [--updater-config FILE] [--db FILE] [--orders N] [--json] "
    "[-h] [-V]";

// Only the keys the report needs; sections, names and defaults are those of the programs.
const std::vector<SettingSpec>& agentKeys() {
    static const std::vector<SettingSpec> specs = {
        {"DATABASE", "DB_PATH", SettingKind::String, "/var/local/zorcee", 0},
        {"DATABASE", "DB_FILE", SettingKind::String, "cee_pkg_upd.db", 0},
        {"PKG_UPDATE", "LOCALE_HOUR", SettingKind::Int, nullptr, 9},
    };
    return specs;
}

const std::vector<SettingSpec>& updaterKeys() {
    static const std::vector<SettingSpec> specs = {
        {"PKG_UPDATE", "RESULT_DIR", SettingKind::String, "/var/tmp", 0},
        {"PKG_UPDATE", "RESULT_FILE", SettingKind::String, "logger_reboot", 0},
        {"PKG_UPDATE", "RESULT_FAIL_FILE", SettingKind::String, "update_failed", 0},
        {"UPDATE_RETRY", "UPD_RETRY_NUM", SettingKind::Int, nullptr, 5},
    };
    return specs;
}

void printHelp(std::ostream& out) {
    out << "Usage: " << kUsageLine << "\n"
        << "Shows the recent orders, the update jobs with their runs and the update result\n"
        << "files of this terminal. Reads the command database only; never writes or locks it.\n"
        << "  -c, --config FILE      agent settings for DB_PATH, DB_FILE and LOCALE_HOUR\n"
        << "                         (default " << kDefaultAgentConfig << ")\n"
        << "  --updater-config FILE  updater settings for RESULT_DIR, RESULT_FILE,\n"
        << "                         RESULT_FAIL_FILE and UPD_RETRY_NUM\n"
        << "                         (default " << kDefaultUpdaterConfig << ")\n"
        << "  --db FILE              read this database file instead\n"
        << "  --orders N             show the last N orders (default " << kDefaultOrders << ")\n"
        << "  --json                 one JSON object instead of text\n"
        << "  -h, --help             show this help and exit\n"
        << "  -V, --version          show the version and exit\n"
        << "Exit status: 0 shown, 1 database missing or unreadable, 64 usage error.\n";
}

int usageError(std::ostream& err, const std::string& what) {
    err << kProgram << ": " << what << " (usage: " << kUsageLine << ")" << std::endl;
    return zorcommon::kUsageError;
}

bool parseCount(const std::string& text, int& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > kMaxOrders) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// The shared loader reports an unreadable file on stderr; a missing file is normal here (the
// tool may run on a machine without the updater's settings), so it is checked first.
std::string loadQuietly(zorcommon::SettingStore& store, const std::string& path) {
    if (::access(path.c_str(), R_OK) != 0) {
        return "not found, defaults used";
    }
    return store.load(path) == 0 ? "read" : "not valid JSON, defaults used";
}
}  // namespace

int parseStatusCommandLine(int argc, char** argv, StatusOptions& options, std::ostream& out,
                           std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            printHelp(out);
            return 0;
        }
        if (arg == "-V" || arg == "--version") {
            out << kProgram << " " << CEE_VERSION << "\n";
            return 0;
        }
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        if (arg == "-c") {
            arg = "--config";
        }
        if (arg != "--config" && arg != "--updater-config" && arg != "--db" && arg != "--orders") {
            return usageError(err, "invalid argument '" + std::string(argv[i]) + "'");
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                return usageError(err, "option '" + arg + "' needs a value");
            }
            value = argv[++i];
        }
        if (arg == "--orders") {
            if (!parseCount(value, options.orders)) {
                return usageError(err, "--orders needs a whole number from 0 to " +
                                           std::to_string(kMaxOrders) + ", not '" + value + "'");
            }
            continue;
        }
        if (value.empty()) {
            return usageError(err, "option '" + arg + "' needs a file name");
        }
        if (arg == "--config") {
            options.agentConfig = value;
        } else if (arg == "--updater-config") {
            options.updaterConfig = value;
        } else {
            options.database = value;
        }
    }
    return zorcommon::kContinue;
}

void loadStatusSettings(const StatusOptions& options, StatusSettings& settings) {
    zorcommon::SettingStore agent(agentKeys());
    zorcommon::SettingStore updater(updaterKeys());
    settings.sources = {{options.agentConfig, loadQuietly(agent, options.agentConfig)},
                        {options.updaterConfig, loadQuietly(updater, options.updaterConfig)}};

    settings.database = options.database.empty() ? agent.getStringValue("DB_PATH") + "/" +
                                                       agent.getStringValue("DB_FILE")
                                                 : options.database;
    settings.localeHour = agent.getIntValue("LOCALE_HOUR");
    settings.resultDir = updater.getStringValue("RESULT_DIR");
    settings.resultFile = updater.getStringValue("RESULT_FILE");
    settings.resultFailFile = updater.getStringValue("RESULT_FAIL_FILE");
    settings.retryLimit = updater.getIntValue("UPD_RETRY_NUM");
}

}  // namespace zorstatus
