// Settings loading (shared loader and the agent's SettingData), group file and substrate code.
#include <gtest/gtest.h>

#include <climits>
#include <typeinfo>
#include <vector>

#include "SettingData.h"
#include "SettingStore.h"
#include "StringUtil.h"
#include "TestUtil.h"

using zorcee::data::SettingData;
using zorcommon::splitString;

namespace {

// Settings whose outside programs and files point into the test folder.
std::string confWith(const testutil::TempDir& dir, const std::string& extra) {
    return "{\"FILE_GROUP\": \"" + dir.file("group") + "\", \"CMD_SUBSTRATE_CODE\": \"" +
           dir.file("code.sh") + "\"" + (extra.empty() ? "" : ", " + extra) + "}";
}

}  // namespace

TEST(SettingData, DefaultsWithoutFile) {
    testing::internal::CaptureStderr();
    SettingData s("/nonexistent/cee.conf");
    const std::string err = testing::internal::GetCapturedStderr();
    // (The shell may add its own complaint about the missing default generator.)
    EXPECT_EQ(err.rfind("failed to read setting file : /nonexistent/cee.conf\n", 0), 0u) << err;

    EXPECT_EQ(s.getStringValue("CMD_SUBSTRATE_CODE"), "/usr/local/bin/substratecode-generator");
    EXPECT_EQ(s.getStringValue("SYSTEM_SETTING_XML_FILE"),
              "/usr/local/etc/kestrelwood/SettingsXML/SystemSetting.xml");
    EXPECT_EQ(s.getStringValue("LOG_DIR"), "/var/local/zorlog");
    EXPECT_EQ(s.getStringValue("LOG_FILE"), "cee.log");
    EXPECT_EQ(s.getIntValue("LOG_MAX_BYTES"), 100000);
    EXPECT_EQ(s.getIntValue("LOG_COUNTS"), 5);
    EXPECT_EQ(s.getPlatform(), "unknown");
    EXPECT_EQ(s.getStringValue("FILE_GROUP"), "/var/tmp/group");
    EXPECT_EQ(s.getHttpUrl(), "http://localhost:8082/");
    EXPECT_EQ(s.getIntValue("RETRY_NUM"), 3);
    EXPECT_EQ(s.getIntValue("RETRY_INTERVAL"), 3000000);
    EXPECT_EQ(s.getIntValue("CURL_TIMEOUT"), 120);
    EXPECT_EQ(s.getIntValue("CURL_CONNECT_TIMEOUT"), 30);
    EXPECT_EQ(s.getStringValue("TIME_START"), "23:00:00");
    EXPECT_EQ(s.getStringValue("TIME_END"), "03:59:59");
    EXPECT_EQ(s.getIntValue("DAY_SPAN"), 3);
    EXPECT_EQ(s.getIntValue("LOCALE_HOUR"), 9);
    EXPECT_EQ(s.getIntValue("EMARG_UPD_START_SEC"), 60);
    EXPECT_EQ(s.getIntValue("EMARG_UPD_END_SEC"), 360);
    EXPECT_EQ(s.getStringValue("LIST_FILE_PATH"), "/usr/local/zorupdate");
    EXPECT_EQ(s.getStringValue("LIST_PRE_NAME"), "update_list_");
    EXPECT_EQ(s.getStringValue("REMOVE_PKG_DIR"), "/var/repos/");
    EXPECT_EQ(s.getStringValue("DB_PATH"), "/var/local/zorcee");
    EXPECT_EQ(s.getStringValue("DB_FILE"), "cee_pkg_upd.db");
    EXPECT_EQ(s.getStringValue("LOCK_CEE"), "db_cee.lock");
    EXPECT_EQ(s.getStringValue("LOCK_UPD"), "db_upd.lock");
}

TEST(SettingData, TypeRulesAndUnknownKeys) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("cee.conf"),
                        confWith(dir,
                                 "\"PLATFORM\": \"east-pv\", \"UNKNOWN\": 1,"
                                 "\"LOG\": {\"LOG_MAX_BYTES\": 2048.9, \"LOG_COUNTS\": \"7\","
                                 " \"LOG_FILE\": 12},"
                                 "\"QMT_HTTP\": {\"RETRY_INTERVAL\": 500, \"RETRY_NUM\": -1.5},"
                                 "\"PKG_UPDATE\": {\"DAY_SPAN\": 1e12, \"LOCALE_HOUR\": -9e15},"
                                 "\"DATABASE\": \"not a section\""));
    SettingData s(dir.file("cee.conf"));
    EXPECT_EQ(s.getPlatform(), "east-pv");
    EXPECT_EQ(s.getIntValue("LOG_MAX_BYTES"), 2048);              // truncated
    EXPECT_EQ(s.getIntValue("LOG_COUNTS"), 5);                    // string: default kept
    EXPECT_EQ(s.getStringValue("LOG_FILE"), "cee.log");           // number: default kept
    EXPECT_EQ(s.getIntValue("RETRY_INTERVAL"), 500000);           // milliseconds held as µs
    EXPECT_EQ(s.getIntValue("RETRY_NUM"), -1);                    // toward zero
    EXPECT_EQ(s.getIntValue("DAY_SPAN"), INT_MAX);                // clamped
    EXPECT_EQ(s.getIntValue("LOCALE_HOUR"), INT_MIN);             // clamped
    EXPECT_EQ(s.getStringValue("DB_PATH"), "/var/local/zorcee");  // section not an object

    EXPECT_EQ(s.getIntValue("LOG"), INT_MIN);
    EXPECT_EQ(s.getIntValue("PLATFORM"), INT_MIN);
    EXPECT_EQ(s.getIntValue("GROUP"), INT_MIN);
    EXPECT_EQ(s.getStringValue("LOG_COUNTS"), "");
    EXPECT_EQ(s.getStringValue("QMT_HTTP"), "");
    EXPECT_EQ(s.getStringValue("GROUP"), "");
}

TEST(SettingData, SyntaxErrorKeepsDefaultsAndReportsParserText) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("cee.conf"), "{\n  \"PLATFORM\": \"x\",\n  oops\n}\n");
    testing::internal::CaptureStderr();
    SettingData s(dir.file("cee.conf"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("syntax error at line 3 near: oops", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(s.getPlatform(), "unknown");
}

TEST(SettingData, ArrayAtTopLevelKeepsDefaults) {
    testutil::TempDir dir;
    testutil::writeFile(dir.file("cee.conf"), "[1, 2]");
    SettingData s(dir.file("cee.conf"));
    EXPECT_EQ(s.getIntValue("RETRY_NUM"), 3);
}

TEST(SettingData, GroupNameFromGroupFile) {
    testutil::TempDir dir;
    const std::string group = dir.file("group");
    EXPECT_EQ(SettingData::readGroupName(group), "all");  // missing file

    testutil::writeFile(group, "#GROUP=x\nGROUP=a=b\nGROUP=west\nGROUP=late\n");
    EXPECT_EQ(SettingData::readGroupName(group), "west");
    testutil::writeFile(group, "NAME=x\nGROUPX=north\n");
    EXPECT_EQ(SettingData::readGroupName(group), "north");  // a prefix test
    testutil::writeFile(group, "GROUP=\n");
    EXPECT_EQ(SettingData::readGroupName(group), "");
    testutil::writeFile(group, "GROUP=a=b\n# nothing else\n");
    EXPECT_EQ(SettingData::readGroupName(group), "all");
    testutil::writeFile(group, "GROUP=east\r\n");
    EXPECT_EQ(SettingData::readGroupName(group), "east\r");  // only the newline ends a line
}

TEST(SettingData, SubstrateCodeFromGenerator) {
    testutil::TempDir dir;
    const std::string script = dir.file("code.sh");
    testutil::writeFile(script, "#!/bin/sh\nprintf 'ABC123\\r\\nsecond line\\n'\n", 0755);
    EXPECT_EQ(SettingData::readSubstrateCode(script), "ABC123\r");

    testutil::writeFile(script, "#!/bin/sh\necho XYZ\nexit 1\n", 0755);
    EXPECT_EQ(SettingData::readSubstrateCode(script), "");

    EXPECT_EQ(SettingData::readSubstrateCode(dir.file("missing.sh")), "");

    // Identity read at construction from the configured group file and generator.
    testutil::writeFile(script, "#!/bin/sh\necho T-0042\n", 0755);
    testutil::writeFile(dir.file("group"), "GROUP=south\n");
    testutil::writeFile(dir.file("cee.conf"), confWith(dir, ""));
    SettingData s(dir.file("cee.conf"));
    EXPECT_EQ(s.getSubstrateCode(), "T-0042");
    EXPECT_EQ(s.getGroupName(), "south");
}

TEST(SettingData, IdentityCanBeSkipped) {
    testutil::TempDir dir;
    // The generator leaves a mark, so that running it shows.
    testutil::writeFile(dir.file("code.sh"),
                        "#!/bin/sh\ntouch " + dir.file("ran") + "\necho T-0042\n", 0755);
    testutil::writeFile(dir.file("group"), "GROUP=south\n");
    testutil::writeFile(dir.file("cee.conf"), confWith(dir, "\"PLATFORM\": \"east-pv\""));

    SettingData skipped(dir.file("cee.conf"), SettingData::Identity::Skip);
    EXPECT_EQ(skipped.getPlatform(), "east-pv");
    EXPECT_EQ(skipped.getStringValue("CMD_SUBSTRATE_CODE"), dir.file("code.sh"));
    EXPECT_EQ(skipped.getGroupName(), "all");
    EXPECT_EQ(skipped.getSubstrateCode(), "");
    EXPECT_FALSE(testutil::exists(dir.file("ran")));

    SettingData read(dir.file("cee.conf"));
    EXPECT_EQ(read.getGroupName(), "south");
    EXPECT_EQ(read.getSubstrateCode(), "T-0042");
    EXPECT_TRUE(testutil::exists(dir.file("ran")));
}

// The parser's nesting limit turns a file of tens of thousands of open brackets into the
// syntax-error path instead of a recursion that overflows the stack.
TEST(SettingData, DeeplyNestedFileIsASyntaxError) {
    testutil::TempDir dir;
    const std::string deep(200000, '[');
    for (const std::string& text : {deep, "{\"PLATFORM\": \"x\", \"LOG\": " + deep,
                                    "{\"LOG\": " + std::string(100000, '{') + "}"}) {
        testutil::writeFile(dir.file("cee.conf"), text);
        testing::internal::CaptureStderr();
        SettingData s(dir.file("cee.conf"), SettingData::Identity::Skip);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("syntax error at line 1 near: ", 0), 0u) << err.substr(0, 80);
        EXPECT_EQ(s.getPlatform(), "unknown");
        EXPECT_EQ(s.getStringValue("LOG_DIR"), "/var/local/zorlog");
    }
    // Nesting a little deeper than any settings file needs is still read.
    std::string nested = "{\"PLATFORM\": \"deep\", \"X\": ";
    nested += std::string(50, '[') + std::string(50, ']') + "}";
    testutil::writeFile(dir.file("cee.conf"), nested);
    SettingData s(dir.file("cee.conf"), SettingData::Identity::Skip);
    EXPECT_EQ(s.getPlatform(), "deep");
}

// A number beyond the range of a double cannot be held: the file counts as unreadable JSON.
TEST(SettingData, NumberOutOfRangeIsASyntaxError) {
    testutil::TempDir dir;
    for (const std::string& number :
         std::vector<std::string>{"1e999", "-1e999", "1" + std::string(400, '0')}) {
        testutil::writeFile(dir.file("cee.conf"),
                            "{\"PLATFORM\": \"x\", \"LOG\": {\"LOG_COUNTS\": " + number + "}}");
        testing::internal::CaptureStderr();
        int status = -1;
        try {
            zorcommon::SettingStore store(
                {{nullptr, "PLATFORM", zorcommon::SettingKind::String, "unknown", 0}});
            status = store.load(dir.file("cee.conf"));
            EXPECT_EQ(store.getStringValue("PLATFORM"), "unknown");
            SettingData s(dir.file("cee.conf"), SettingData::Identity::Skip);
            EXPECT_EQ(s.getPlatform(), "unknown");
            EXPECT_EQ(s.getIntValue("LOG_COUNTS"), 5);
        } catch (const std::exception& e) {
            ADD_FAILURE() << number << ": the loader threw " << typeid(e).name();
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 2) << number;
        // One line from each of the two loads.
        EXPECT_EQ(err, "syntax error: number out of range\nsyntax error: number out of range\n")
            << number;
    }
}

TEST(SettingData, SingleInstance) {
    SettingData::destroyInstance();
    EXPECT_EQ(SettingData::getInstance(), nullptr);
    testing::internal::CaptureStderr();
    SettingData::createInstance("/nonexistent/a.conf");
    SettingData* first = SettingData::getInstance();
    SettingData::createInstance("/nonexistent/b.conf");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(SettingData::getInstance(), first);
    EXPECT_EQ(first->getSettingFilePath(), "/nonexistent/a.conf");
    SettingData::destroyInstance();
    EXPECT_EQ(SettingData::getInstance(), nullptr);
}

TEST(SplitString, FlagsAndBorders) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitString("a=b", "=", false, false), (V{"a", "b"}));
    EXPECT_EQ(splitString("GROUP=", "=", false, false), (V{"GROUP", ""}));
    EXPECT_EQ(splitString("a==b=", "=", false, false), (V{"a", "", "b", ""}));
    EXPECT_EQ(splitString("a==b=", "=", true, false), (V{"a", "b"}));
    EXPECT_EQ(splitString("/var//x/", "/", true, false), (V{"var", "x"}));
    EXPECT_EQ(splitString("", "=", false, false), (V{""}));
    EXPECT_EQ(splitString("abc", "", false, false), (V{"abc"}));
    EXPECT_EQ(splitString("abc", "", false, true), (V{"a", "b", "c"}));
    EXPECT_EQ(splitString("a::b", "::", false, false), (V{"a", "b"}));
}
