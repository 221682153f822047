// cee-agent: receives server orders over MQTT, executes them and answers. Runs in the
// foreground until SIGINT or SIGTERM.
#include "CommandLine.h"
#include "SettingData.h"
#include "cmd_exec_env.h"

int main(int argc, char** argv) {
    std::string configPath = zorcee::data::SettingData::kDefaultPath;
    const int cli = zorcommon::parseCommandLine(argc, argv, "cee-agent", configPath);
    if (cli != zorcommon::kContinue) {
        return cli;
    }
    const int rc = zorcee::initMain(configPath);
    if (rc != 0) {
        return rc;
    }
    zorcee::startMain();
    zorcee::endMain();
    return 0;
}
