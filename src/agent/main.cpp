// cee-agent: receives server orders over MQTT, executes them and answers. Runs in the
// foreground until SIGINT or SIGTERM.
#include <malloc.h>

#include "CommandLine.h"
#include "DbController.h"
#include "SettingData.h"
#include "cmd_exec_env.h"

int main(int argc, char** argv) {
    zorcee::installSignalHandlers();
    // One malloc arena for all threads: the MQTT client's threads, the delivery thread and the
    // order thread would otherwise each keep an arena of their own, with its touched pages, for
    // a process that does one thing at a time.
    mallopt(M_ARENA_MAX, 1);
    // Blocks of 128 KiB and more (an order's text, its payload, the request) are mapped on
    // their own and given back when freed. By default the C library raises this bound to the
    // size of each such block freed, after which megabyte buffers come from the heap, where
    // freed pages stay resident and the next order's buffers are placed beside them.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // Before anything of SQLite is used (its page caches are bounded per connection).
    zorcee::db::configureSqlite();
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
