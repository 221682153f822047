// Command object model: which orders address this terminal, and the reading of
// SystemSetting.xml. The answer made from an order is shown with the forwarding commands.
#include <gtest/gtest.h>
#include <picojson.h>

#include "CmdInfoBase.h"
#include "FileUtil.h"
#include "TestUtil.h"

using zorcee::command::CmdInfoBase;

// This terminal: platform PF, group G1, terminal X1.
TEST(CmdInfoBase, TargetMatching) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"({"platform":["all"],"group":["*"],"terminal":["X1"]})", true},
        {R"({"platform":["PX","PF"],"group":["G0","G1"],"terminal":["X0","X1"]})", true},
        {R"({"platform":["all"],"group":["*"],"terminal":["X2"]})", false},
        // Exact and case-sensitive, wildcards included.
        {R"({"platform":["ALL"],"group":["*"],"terminal":["*"]})", false},
        {R"({"platform":["PF "],"group":["G"],"terminal":["x1"]})", false},
        // Every array must be present and hold something.
        {R"({"platform":["all"],"terminal":["*"]})", false},
        {R"({"platform":["*"],"group":[],"terminal":["*"]})", false},
        // Malformed targets are refused, not half-read.
        {R"({"platform":["all"],"group":[1],"terminal":["*"]})", false},
        {R"({"platform":["X",null],"group":["*"],"terminal":["*"]})", false},
        {R"({"platform":["*"],"group":["*"],"terminal":{"code":"X1"}})", false},
    };
    for (const auto& c : cases) {
        picojson::value order;
        picojson::parse(
            order, R"({"order":{"type":"cmd","indicate":"Restart","target":)" + c.first + "}}");
        CmdInfoBase cmd(order);
        EXPECT_EQ(cmd.isExecTarget("PF", "G1", "X1"), c.second) << c.first;
    }
}

// Read only up to its bound: an endless file would fill memory. (FIFOs and devices are refused by
// the same reader, shown with the group file.)
TEST(CmdInfoBase, SystemSettingXml) {
    testutil::TempDir dir;
    const std::string good =
        R"(<logger loggerId="L" plantId="P"><general><serverUrl>u</serverUrl></general></logger>)";
    testutil::writeFile(dir.file("big"), good + std::string(zorcommon::kMaxXmlFileBytes, ' '));
    testutil::writeFile(dir.file("good"), good);
    for (const auto& path : {dir.file("big"), dir.file("good")}) {
        CmdInfoBase cmd{picojson::value()};
        EXPECT_EQ(cmd.loadFromSystemSettingXml(path)
                      ? cmd.getLoggerId() + cmd.getPlantId() + cmd.getServerUrl()
                      : "",
                  path == dir.file("good") ? "LPu" : "")
            << path;
    }
}
