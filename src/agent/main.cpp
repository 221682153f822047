// cee-agent: receives server orders over MQTT, executes them and answers. Runs in the
// foreground until SIGINT or SIGTERM.
#include <malloc.h>

#include "CommandLine.h"
#include "SettingData.h"
#include "cmd_exec_env.h"

int main(int argc, char** argv) {
    // One malloc arena for all threads: the MQTT client's threads, the delivery thread and the
    // order thread would otherwise each keep an arena of their own, with its touched pages, for
    // a process that does one thing at a time.
    mallopt(M_ARENA_MAX, 1);
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
