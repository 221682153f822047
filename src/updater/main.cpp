// cee-updater: runs at most one due software update run from the shared command database and
// exits with 0, 1, 2 or 100.
#include "CommandLine.h"
#include "cee_upd.h"

int main(int argc, char** argv) {
    std::string configPath = zorupd::data::SettingData::kDefaultPath;
    const int cli = zorcommon::parseCommandLine(argc, argv, "cee-updater", configPath);
    if (cli != zorcommon::kContinue) {
        return cli;
    }
    return zorupd::runMain(configPath);
}
