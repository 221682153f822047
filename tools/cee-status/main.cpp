// cee-status: read-only report of the command database and the update result files, for field
// engineers. Exit status 0 shown, 1 database missing or unreadable, 64 usage error.
#include <ctime>
#include <exception>
#include <iostream>

#include "CommandLine.h"
#include "StatusOptions.h"
#include "StatusReader.h"
#include "StatusReport.h"

int main(int argc, char** argv) {
    try {
        zorstatus::StatusOptions options;
        const int parsed =
            zorstatus::parseStatusCommandLine(argc, argv, options, std::cout, std::cerr);
        if (parsed != zorcommon::kContinue) {
            return parsed;
        }
        zorstatus::StatusSettings settings;
        zorstatus::loadStatusSettings(options, settings);

        zorstatus::Snapshot snapshot;
        std::string error;
        const long long now = static_cast<long long>(std::time(nullptr));
        const int rc = zorstatus::readSnapshot(settings.database, options.orders,
                                               zorstatus::kDefaultBusyTimeoutMs, snapshot, error);
        if (rc != zorstatus::kReadOk) {
            std::cerr << zorstatus::kProgram << ": " << error;
            if (rc == zorstatus::kReadMissing && options.database.empty()) {
                std::cerr << " (DB_PATH and DB_FILE of " << options.agentConfig
                          << "; --db FILE names another)";
            }
            std::cerr << std::endl;
            return 1;
        }
        const auto files = zorstatus::readResultFiles(
            settings.resultDir, {settings.resultFile, settings.resultFailFile});
        const zorstatus::Report report{snapshot, files, settings, now};
        std::cout << (options.json ? zorstatus::renderJson(report) : zorstatus::renderText(report))
                  << std::flush;
        return std::cout ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << zorstatus::kProgram << ": " << e.what() << std::endl;
        return 1;
    }
}
