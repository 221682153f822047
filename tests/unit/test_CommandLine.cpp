// The command line both programs share.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CommandLine.h"

TEST(CommandLine, ConfigFileHelpVersionAndUsageErrors) {
    // Exit status (kContinue: go on) and the arguments that give it.
    const std::map<int, std::vector<std::string>> cases = {
        {zorcommon::kContinue,
         {"", "-c a.conf", "--config a.conf", "--config=a.conf", "-c b.conf --config=a.conf"}},
        {0, {"-h", "--help", "-V", "--version"}},
        {64, {"-c", "--config", "extra", "-x"}}};
    for (const auto& [status, list] : cases) {
        for (const std::string& args : list) {
            std::string text = "prog " + args;
            std::vector<char*> argv;
            for (char* w = std::strtok(text.data(), " "); w != nullptr;
                 w = std::strtok(nullptr, " ")) {
                argv.push_back(w);
            }
            const int argc = static_cast<int>(argv.size());
            argv.push_back(nullptr);
            std::string path = "default.conf";
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            EXPECT_EQ(zorcommon::parseCommandLine(argc, argv.data(), "prog", path), status) << args;
            // Help and version go to standard output, a usage error to standard error.
            EXPECT_EQ(testing::internal::GetCapturedStdout().empty(), status != 0) << args;
            EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), status != 64) << args;
            EXPECT_EQ(path,
                      status == zorcommon::kContinue && !args.empty() ? "a.conf" : "default.conf")
                << args;
        }
    }
}
