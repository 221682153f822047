// Outside programs: the bounded runner never waits longer than its limit, never collects more
// than its cap and leaves nothing running. (What the updater makes of exit codes shows in its
// whole runs.)
#include <gtest/gtest.h>

#include "ExecCmd.h"
#include "TestUtil.h"

TEST(ExecCmd, BoundedRunnerEndsHangingAndFloodingCommands) {
    using R = zorcommon::BoundedExecResult;
    testutil::TempDir dir;
    const std::string pids = dir.file("pids"), quoted = "$(touch x) `touch y`;";
    const std::tuple<std::string, R, std::string> cases[] = {
        {"head -c 64 /dev/zero", R::Ok, std::string(64, '\0')},
        // The command is one shell's text: what it quotes stays quoted.
        {"cd " + dir.path() + "; printf '%s' '" + quoted + "'", R::Ok, quoted},
        {"echo $$ >>" + pids + "; sleep 30", R::TimedOut, ""},
        // The shell ends, but a child it left behind keeps the output open.
        {"sleep 30 & echo $! >>" + pids + "; echo early", R::TimedOut, "early\n"},
        // The output is closed, but the command goes on.
        {"exec 1>&-; echo $$ >>" + pids + "; sleep 30", R::TimedOut, ""},
        {"yes", R::OutputTooLarge, "-"},
        {"head -c 65 /dev/zero; sleep 30", R::OutputTooLarge, "-"}};
    for (const auto& [command, result, output] : cases) {
        std::string out;
        int status = -1;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(zorcommon::execCmdBounded(command, 64, result == R::TimedOut ? 1000 : 5000, out,
                                            status),
                  result)
            << command;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
        EXPECT_TRUE(output == "-" ? out.size() <= 64 : out == output) << command;
    }
    EXPECT_FALSE(testutil::exists(dir.file("x")) || testutil::exists(dir.file("y")));
    // Every process that wrote its id is gone: killed with its process group and reaped.
    std::istringstream ids(testutil::readFile(pids));
    int count = 0;
    for (std::string id; ids >> id; ++count) {
        const std::string stat = "/proc/" + id + "/stat";
        EXPECT_TRUE(testutil::waitFor([&] {
            return !testutil::exists(stat) ||
                   testutil::readFile(stat).find(") Z ") != std::string::npos;
        })) << id;
    }
    EXPECT_EQ(count, 3);
}
