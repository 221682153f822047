// Shell command runners.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>

#include "ExecCmd.h"
#include "TestUtil.h"

using zorcommon::ExecCmd;
using zorcommon::execCmdCheck;

TEST(ExecCmd, CollectsOutputAndRawWaitStatus) {
    std::string out = "kept:";
    int status = -1;
    ASSERT_TRUE(ExecCmd("printf 'one\\n'; printf 'two'", out, status));
    EXPECT_EQ(out, "kept:one\ntwo");
    EXPECT_EQ(status, 0);

    out.clear();
    ASSERT_TRUE(ExecCmd("echo x; exit 3", out, status));
    EXPECT_EQ(out, "x\n");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(status, 768);

    // Output longer than the read buffer arrives whole.
    out.clear();
    ASSERT_TRUE(ExecCmd("head -c 5000 /dev/zero | tr '\\0' 'a'", out, status));
    EXPECT_EQ(out, std::string(5000, 'a'));
}

TEST(ExecCmd, CheckCodes) {
    EXPECT_EQ(execCmdCheck("true"), 0);
    EXPECT_EQ(execCmdCheck("exit 1"), -4);
    EXPECT_EQ(execCmdCheck("kill -TERM $$"), -2);
    EXPECT_EQ(execCmdCheck("/nonexistent/program"), -4);  // the shell reports 127
}

// The bounded runner used at start-up: it never waits longer than its limit, never collects
// more than its cap, and leaves nothing of the command running.
TEST(ExecCmd, BoundedRunnerEndsHangingAndFloodingCommands) {
    using zorcommon::BoundedExecResult;
    testutil::TempDir dir;
    const std::string pids = dir.file("pids");
    struct Case {
        std::string command;
        BoundedExecResult result;
        std::string output;
    };
    const Case cases[] = {
        {"echo CODE1; exit 0", BoundedExecResult::Ok, "CODE1\n"},
        {"echo $$ >>" + pids + "; sleep 30", BoundedExecResult::TimedOut, ""},
        // The shell ends, but a child it left behind keeps the output open.
        {"sleep 30 & echo $! >>" + pids + "; echo early", BoundedExecResult::TimedOut, "early\n"},
        // The output is closed, but the command goes on.
        {"exec 1>&-; echo $$ >>" + pids + "; sleep 30", BoundedExecResult::TimedOut, ""},
        {"yes", BoundedExecResult::OutputTooLarge, ""},
        {"head -c 50 /dev/zero", BoundedExecResult::Ok, std::string(50, '\0')},
    };
    for (const auto& c : cases) {
        std::string out;
        int status = -1;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(zorcommon::execCmdBounded(c.command, 64, 300, out, status), c.result)
            << c.command;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        if (c.result != BoundedExecResult::OutputTooLarge) {
            EXPECT_EQ(out, c.output) << c.command;
        }
        EXPECT_LE(out.size(), 64u);
    }
    // Every process that wrote its id is gone (killed with its group and reaped).
    std::istringstream ids(testutil::readFile(pids));
    int count = 0;
    for (std::string id; ids >> id; ++count) {
        EXPECT_TRUE(testutil::waitFor([&] {
            return !testutil::exists("/proc/" + id + "/stat") ||
                   testutil::readFile("/proc/" + id + "/stat").find(") Z ") != std::string::npos;
        })) << "process "
            << id << " still runs";
    }
    EXPECT_EQ(count, 3);
}
