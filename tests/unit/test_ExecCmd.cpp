// Shell command runners.
#include <gtest/gtest.h>
#include <sys/wait.h>

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
