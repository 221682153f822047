// Command object model: target check, payload and timestamp extraction, the rewrites that turn
// an order into its answer, and the reading of SystemSetting.xml.
#include <gtest/gtest.h>
#include <picojson.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CmdInfoBase.h"
#include "FileUtil.h"
#include "TestUtil.h"

using zorcee::command::CmdInfoBase;

namespace {

picojson::value parseJson(const std::string& text) {
    picojson::value v;
    const std::string err = picojson::parse(v, text);
    if (!err.empty()) {
        ADD_FAILURE() << "bad test JSON: " << err;
    }
    return v;
}

// An order addressed by `target` (a JSON object text).
std::string orderWithTarget(const std::string& target) {
    return R"({"order":{"type":"cmd","indicate":"Restart","target":)" + target +
           R"(},"data":{"value":"QUJD"},"timestamp":"2024/05/06 07:08:09"})";
}

class CmdInfoBaseTest : public ::testing::Test {
  protected:
    // Captured lines with the source line number dropped: "W : [CmdInfoBase.cpp] in ...".
    std::vector<std::string> lines() const {
        static const std::regex prefix(R"(^(\w) : \[([^:\]]+):\d+\](.*)$)");
        std::vector<std::string> out;
        std::istringstream in(log_.text());
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(std::regex_replace(line, prefix, "$1 : [$2]$3"));
        }
        return out;
    }
    bool hasLine(const std::string& line) const {
        for (const auto& l : lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    bool logMentions(const std::string& text) const { return log_.contains(text); }

    // Runs the target check on a fresh object; the log then holds only that check's lines.
    bool checkTarget(const std::string& orderText, const std::string& platform,
                     const std::string& group, const std::string& code) {
        CmdInfoBase cmd(parseJson(orderText));
        log_.clear();
        return cmd.isExecTarget(platform, group, code);
    }

    testutil::CapturedLog log_{"cee"};
};

const std::string kUnit = "[CmdInfoBase.cpp] ";

}  // namespace

TEST_F(CmdInfoBaseTest, PlainObjectForAnUnusableOrder) {
    const picojson::value order = parseJson(R"({"order":{"type":"cmd","indicate":"Unknown"}})");
    CmdInfoBase cmd(order);
    EXPECT_EQ(lines(), std::vector<std::string>{"I : " + kUnit + "in CmdInfoBase"});
    EXPECT_EQ(cmd.getName(), "base");
    EXPECT_EQ(cmd.getDescription(), "base class.");
    EXPECT_FALSE(cmd.isExecutable());
    EXPECT_FALSE(cmd.hasOutput());
    EXPECT_FALSE(cmd.isUseConnectionManager());
    EXPECT_FALSE(cmd.isSendResult());
    EXPECT_EQ(cmd.getResultString(), "");
    EXPECT_EQ(cmd.getServerUrl(), "");
    EXPECT_EQ(cmd.getOrderJson(), order);

    // The constructor for concrete commands writes nothing.
    log_.clear();
    CmdInfoBase named(order, "Restart", "reboot.");
    EXPECT_EQ(log_.text(), "");
    EXPECT_EQ(named.getName(), "Restart");
    EXPECT_EQ(named.getDescription(), "reboot.");
    EXPECT_FALSE(named.isExecutable());
}

TEST_F(CmdInfoBaseTest, WildcardsAndExactTerminal) {
    const std::string order =
        orderWithTarget(R"({"platform":["all"],"group":["*"],"terminal":["X1"]})");
    EXPECT_TRUE(checkTarget(order, "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("I : " + kUnit +
                        "in isExecTarget : result : platform -> true : group -> true : terminal "
                        "-> true : analyze json -> true"));

    EXPECT_FALSE(checkTarget(order, "PF", "G1", "X2"));
    const std::vector<std::string> expected = {
        "I : " + kUnit + "in isExecTarget",
        "I : " + kUnit + "    platform -> PF, group -> G1, substrate_code ->X2",
        "D : " + kUnit + "in isExecTarget PLATFORM target -> PF : json -> array",
        "I : " + kUnit + "in hasTargetInArray search -> PF",
        "I : " + kUnit + "in hasTargetInArray : search result -> PF is find",
        "D : " + kUnit + "in isExecTarget GROUP target -> G1 : json -> array",
        "I : " + kUnit + "in hasTargetInArray search -> G1",
        "I : " + kUnit + "in hasTargetInArray : search result -> G1 is find",
        "D : " + kUnit + "in isExecTarget SUBSTRATE CODE target -> X2 : json -> array",
        "I : " + kUnit + "in hasTargetInArray search -> X2",
        "I : " + kUnit + "in hasTargetInArray : search result -> X2 is not find",
        "I : " + kUnit +
            "in isExecTarget : result : platform -> true : group -> true : terminal -> false : "
            "analyze json -> true",
    };
    EXPECT_EQ(lines(), expected);

    // Several names in one array: any of them matches.
    EXPECT_TRUE(checkTarget(
        orderWithTarget(R"({"platform":["PX","PF"],"group":["G0","G1"],"terminal":["X0","X1"]})"),
        "PF", "G1", "X1"));
}

TEST_F(CmdInfoBaseTest, EveryArrayMustBePresent) {
    EXPECT_FALSE(
        checkTarget(orderWithTarget(R"({"platform":["all"],"terminal":["*"]})"), "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("W : " + kUnit + "in isExecTarget [order.target.group] not found"));
    EXPECT_TRUE(hasLine("I : " + kUnit +
                        "in isExecTarget : result : platform -> true : group -> false : terminal "
                        "-> true : analyze json -> true"));

    EXPECT_FALSE(
        checkTarget(orderWithTarget(R"({"group":["*"],"terminal":["*"]})"), "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("W : " + kUnit + "in isExecTarget [order.target.platform] not found"));

    EXPECT_FALSE(
        checkTarget(orderWithTarget(R"({"platform":["*"],"group":["*"]})"), "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("W : " + kUnit + "in isExecTarget [order.target.terminal] not found"));

    // No target at all: not addressed, the result line still written, no warning.
    EXPECT_FALSE(checkTarget(R"({"order":{"type":"cmd","indicate":"Restart"}})", "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("I : " + kUnit +
                        "in isExecTarget : result : platform -> false : group -> false : "
                        "terminal -> false : analyze json -> true"));
    EXPECT_FALSE(logMentions("W : "));
}

TEST_F(CmdInfoBaseTest, EmptyTargetObjectEndsTheCheckAtOnce) {
    EXPECT_FALSE(checkTarget(orderWithTarget("{}"), "PF", "G1", "X1"));
    EXPECT_FALSE(logMentions("in isExecTarget : result"));
    EXPECT_FALSE(logMentions("hasTargetInArray"));
}

TEST_F(CmdInfoBaseTest, MatchingIsExactAndCaseSensitive) {
    const std::string upper =
        orderWithTarget(R"({"platform":["ALL"],"group":["*"],"terminal":["*"]})");
    EXPECT_FALSE(checkTarget(upper, "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in hasTargetInArray : search result -> PF is not find"));
    EXPECT_TRUE(checkTarget(upper, "ALL", "G1", "X1"));

    // The command's own name is no wildcard either.
    const std::string ownName =
        orderWithTarget(R"({"platform":["Restart"],"group":["All"],"terminal":["x1"]})");
    EXPECT_FALSE(checkTarget(ownName, "PF", "G1", "X1"));
    EXPECT_FALSE(checkTarget(ownName, "Restart", "G1", "X1"));
    EXPECT_FALSE(checkTarget(ownName, "Restart", "All", "X1"));
    EXPECT_TRUE(checkTarget(ownName, "Restart", "All", "x1"));
    // No prefix or substring matching.
    EXPECT_FALSE(checkTarget(
        orderWithTarget(R"({"platform":["PF "],"group":["G"],"terminal":["*"]})"), "PF", "G1", ""));
}

TEST_F(CmdInfoBaseTest, MalformedTargetsAreParseErrors) {
    // A number after a matched platform: the platform result is kept, the rest stays false.
    EXPECT_FALSE(checkTarget(
        orderWithTarget(R"({"platform":["all"],"group":[1],"terminal":["*"]})"), "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("E : " + kUnit + "in isExecTarget : Error in parsing JSON"));
    EXPECT_TRUE(hasLine("I : " + kUnit +
                        "in isExecTarget : result : platform -> true : group -> false : terminal "
                        "-> false : analyze json -> false"));
    EXPECT_FALSE(logMentions("SUBSTRATE CODE"));

    const std::vector<std::string> malformed = {
        orderWithTarget(R"({"platform":["G1",null],"group":["*"],"terminal":["*"]})"),
        orderWithTarget(R"({"platform":"all","group":["*"],"terminal":["*"]})"),
        orderWithTarget(R"({"platform":["*"],"group":["*"],"terminal":{"code":"X1"}})"),
        orderWithTarget(R"(["all"])"),
        R"({"order":"cmd"})",
    };
    for (const auto& order : malformed) {
        EXPECT_FALSE(checkTarget(order, "PF", "G1", "X1")) << order;
        EXPECT_TRUE(hasLine("E : " + kUnit + "in isExecTarget : Error in parsing JSON")) << order;
        EXPECT_TRUE(logMentions(": analyze json -> false")) << order;
    }
}

TEST_F(CmdInfoBaseTest, EmptyTargetArrayMatchesNothing) {
    EXPECT_FALSE(checkTarget(orderWithTarget(R"({"platform":["*"],"group":[],"terminal":["*"]})"),
                             "PF", "G1", "X1"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in hasTargetInArray search -> G1"));
    EXPECT_FALSE(logMentions("search result -> G1"));
    EXPECT_TRUE(logMentions("platform -> true : group -> false : terminal -> true"));

    CmdInfoBase cmd(parseJson("{}"));
    log_.clear();
    EXPECT_FALSE(cmd.hasTargetInArray(parseJson("[]"), "X1", true));
    EXPECT_EQ(lines(),
              std::vector<std::string>{"I : " + kUnit + "in hasTargetInArray search -> X1"});
    // Wildcards only count when allowed.
    EXPECT_FALSE(cmd.hasTargetInArray(parseJson(R"(["all","*"])"), "X1", false));
    EXPECT_TRUE(cmd.hasTargetInArray(parseJson(R"(["all","*"])"), "X1", true));
    EXPECT_TRUE(cmd.hasTargetInArray(parseJson(R"(["X0","X1"])"), "X1", false));
}

TEST_F(CmdInfoBaseTest, EmptyOrderIsRefusedByEveryOperation) {
    CmdInfoBase cmd(parseJson("{}"));
    log_.clear();
    EXPECT_FALSE(cmd.isExecTarget("PF", "G1", "X1"));
    EXPECT_EQ(cmd.choiseDataValue(), "");
    EXPECT_EQ(cmd.choiseTimestamp(), "");
    EXPECT_FALSE(cmd.reWriteData4Return(0, "x"));
    EXPECT_FALSE(cmd.eraseTarget());
    EXPECT_FALSE(cmd.reWriteTimestamp());
    for (const std::string& line : {
             "E : " + kUnit + "in choisExecTargetiseDataValue : empty!",
             "E : " + kUnit + "in choiseDataValue : empty!",
             "E : " + kUnit + "in choiseTimestamp : empty!",
             "E : " + kUnit + "in reWriteData4Return : empty!",
             "E : " + kUnit + "in eraseTarget : empty!",
             "E : " + kUnit + "in reWriteTimestamp : empty!",
         }) {
        EXPECT_TRUE(hasLine(line)) << line;
    }
    EXPECT_FALSE(logMentions("result :"));
    EXPECT_EQ(cmd.getOutputData(), "{}");
}

TEST_F(CmdInfoBaseTest, DataValueIsDecodedLeniently) {
    struct Case {
        std::string value;
        std::string decoded;
    };
    const std::vector<Case> cases = {
        {"QUJD", "ABC"}, {"QUJD and more", "ABC"}, {"QUI=", "AB"}, {"Q", ""}, {"", ""},
    };
    for (const auto& c : cases) {
        CmdInfoBase cmd(parseJson(R"({"data":{"value":")" + c.value + R"("}})"));
        log_.clear();
        EXPECT_EQ(cmd.choiseDataValue(), c.decoded) << c.value;
        EXPECT_TRUE(hasLine("D : " + kUnit + "in choiseDataValue : data found base64 -> " +
                            c.value + " : decode -> " + c.decoded))
            << c.value;
        EXPECT_TRUE(hasLine("I : " + kUnit + "in choiseDataValue : [data.value] -> " + c.decoded))
            << c.value;
        EXPECT_FALSE(logMentions("E : ")) << c.value;
    }

    // data present but without a usable value: empty, and no error line.
    for (const std::string order : {R"({"data":{}})", R"({"data":{"value":5}})"}) {
        CmdInfoBase cmd(parseJson(order));
        log_.clear();
        EXPECT_EQ(cmd.choiseDataValue(), "") << order;
        EXPECT_FALSE(logMentions("E : ")) << order;
        EXPECT_FALSE(logMentions("data found")) << order;
    }
}

TEST_F(CmdInfoBaseTest, OrderWithoutDataOrTimestampAnswersWithNulls) {
    CmdInfoBase cmd(parseJson(R"({"order":{"type":"cmd","indicate":"Restart"}})"));
    log_.clear();
    EXPECT_EQ(cmd.choiseDataValue(), "");
    EXPECT_TRUE(hasLine("E : " + kUnit + "in choiseDataValue : Error in parsing JSON"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in choiseDataValue : [data.value] -> "));

    EXPECT_EQ(cmd.choiseTimestamp(), "");
    EXPECT_TRUE(hasLine("I : " + kUnit + "in choiseTimestamp : [timestamp] -> "));
    EXPECT_FALSE(cmd.reWriteTimestamp());
    EXPECT_FALSE(logMentions("utc time"));

    // data is not an object: reWriteData4Return refuses it and adds no result.
    EXPECT_FALSE(cmd.reWriteData4Return(0, "QUJD"));
    EXPECT_TRUE(hasLine("E : " + kUnit + "in reWriteData4Return : Error in parsing JSON"));

    EXPECT_EQ(cmd.getOutputData(),
              R"({"data":null,"order":{"indicate":"Restart","type":"cmd"},"timestamp":null})");
}

TEST_F(CmdInfoBaseTest, TimestampIsTakenAsItStands) {
    CmdInfoBase cmd(parseJson(R"({"timestamp":"2024/05/06 07:08:09"})"));
    EXPECT_EQ(cmd.choiseTimestamp(), "2024/05/06 07:08:09");
    EXPECT_TRUE(
        hasLine("I : " + kUnit + "in choiseTimestamp : [timestamp] -> 2024/05/06 07:08:09"));

    CmdInfoBase number(parseJson(R"({"timestamp":20240506})"));
    log_.clear();
    EXPECT_EQ(number.choiseTimestamp(), "");
    EXPECT_FALSE(logMentions("E : "));
    EXPECT_FALSE(number.reWriteTimestamp());
    EXPECT_EQ(number.getOutputData(), R"({"timestamp":20240506})");
}

TEST_F(CmdInfoBaseTest, DataRewriteKeepsAnExistingResult) {
    CmdInfoBase kept(parseJson(R"({"data":{"value":"QUJD","result":"pending","extra":1}})"));
    log_.clear();
    EXPECT_TRUE(kept.reWriteData4Return(0, "REVG"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in reWriteData4Return : return data.value -> REVG"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in reWriteData4Return : return data.result -> success"));
    EXPECT_EQ(kept.getOutputData(), R"({"data":{"extra":1,"result":"pending","value":"REVG"}})");

    CmdInfoBase ok(parseJson(R"({"data":{"value":"QUJD"}})"));
    EXPECT_TRUE(ok.reWriteData4Return(0, "REVG"));
    EXPECT_EQ(ok.getOutputData(), R"({"data":{"result":"success","value":"REVG"}})");

    CmdInfoBase failed(parseJson(R"({"data":{"value":"QUJD"}})"));
    log_.clear();
    EXPECT_TRUE(failed.reWriteData4Return(1, ""));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in reWriteData4Return : return data.result -> failed"));
    EXPECT_EQ(failed.getOutputData(), R"({"data":{"result":"failed","value":""}})");

    // Without a string value nothing is changed and no result is added.
    for (const std::string order : {R"({"data":{"other":"x"}})", R"({"data":{"value":7}})"}) {
        CmdInfoBase cmd(parseJson(order));
        log_.clear();
        EXPECT_FALSE(cmd.reWriteData4Return(0, "REVG")) << order;
        EXPECT_EQ(cmd.getOutputData(), order);
        EXPECT_FALSE(logMentions("E : ")) << order;
    }
}

TEST_F(CmdInfoBaseTest, EraseTargetKeepsOtherTargetMembers) {
    CmdInfoBase cmd(parseJson(
        orderWithTarget(R"({"platform":["all"],"group":["*"],"terminal":["X1"],"zone":["z"]})")));
    log_.clear();
    EXPECT_TRUE(cmd.eraseTarget());
    EXPECT_TRUE(hasLine("I : " + kUnit + "in eraseTarget : return order.target set to no data"));
    const picojson::value answer = parseJson(cmd.getOutputData());
    const picojson::value& order = answer.get("order");
    EXPECT_EQ(order.get("target").serialize(), R"({"zone":["z"]})");
    EXPECT_EQ(order.get("indicate").to_str(), "Restart");
    EXPECT_EQ(order.get("type").to_str(), "cmd");

    // Only some of the three present: those are removed, nothing else fails.
    CmdInfoBase partial(parseJson(R"({"order":{"target":{"group":["*"]}}})"));
    EXPECT_TRUE(partial.eraseTarget());
    EXPECT_EQ(partial.getOutputData(), R"({"order":{"target":{}}})");

    CmdInfoBase noTarget(parseJson(R"({"order":{"type":"cmd"}})"));
    log_.clear();
    EXPECT_FALSE(noTarget.eraseTarget());
    EXPECT_FALSE(logMentions("E : "));

    CmdInfoBase noOrder(parseJson(R"({"data":{}})"));
    log_.clear();
    EXPECT_FALSE(noOrder.eraseTarget());
    EXPECT_TRUE(hasLine("E : " + kUnit + "in eraseTarget : Error in parsing JSON"));
}

TEST_F(CmdInfoBaseTest, AnswerIsCompactSortedAndEscapesSlash) {
    CmdInfoBase cmd(parseJson(R"({
        "timestamp": "2024/05/06 07:08:09",
        "order": {"type": "cmd", "indicate": "Restart", "id": 12,
                  "target": {"terminal": ["X1"], "platform": ["all"], "group": ["*"]}},
        "data": {"value": "QUJD", "note": "a/b"}
    })"));
    EXPECT_EQ(cmd.choiseDataValue(), "ABC");
    // The answer body holds bytes whose Base64 text contains "/" and "+".
    const std::string encoded = cmd.encodeDataValue(std::string("\xff\xff\xfb", 3));
    EXPECT_EQ(encoded, "///7");
    EXPECT_TRUE(cmd.reWriteData4Return(0, encoded));
    EXPECT_TRUE(cmd.eraseTarget());
    log_.clear();
    EXPECT_EQ(cmd.getOutputData(),
              R"({"data":{"note":"a\/b","result":"success","value":"\/\/\/7"},)"
              R"("order":{"id":12,"indicate":"Restart","target":{},"type":"cmd"},)"
              R"("timestamp":"2024\/05\/06 07:08:09"})");
    EXPECT_EQ(lines(), std::vector<std::string>{"I : " + kUnit + "in getOutputData"});

    EXPECT_EQ(cmd.encodeDataValue(""), "");
    EXPECT_EQ(cmd.encodeDataValue(std::string("\0A", 2)), "AEE=");
}

TEST_F(CmdInfoBaseTest, TimestampRewriteWritesUtcNow) {
    // Local time is nine hours ahead of UTC here, so a local time would show.
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "JST-9", 1);
    tzset();

    CmdInfoBase cmd(parseJson(R"({"timestamp":"2000/01/01 00:00:00","data":{"value":"QUJD"}})"));
    log_.clear();
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(cmd.execCommand(), 0);  // the base version only refreshes the timestamp
    const std::string stamp = cmd.choiseTimestamp();

    ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
    EXPECT_TRUE(hasLine("I : " + kUnit + "in execCommand"));
    EXPECT_TRUE(hasLine("I : " + kUnit + "in reWriteTimestamp : utc time -> " + stamp));
    std::tm tm{};
    ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr);
    const std::time_t written = timegm(&tm);
    EXPECT_LE(std::abs(static_cast<long>(written - before)), 600L) << stamp;

    // The rest of the order is untouched.
    EXPECT_EQ(cmd.getOrderJson().get("data").serialize(), R"({"value":"QUJD"})");

    if (oldTz != nullptr) {
        setenv("TZ", savedTz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

class SystemSettingXmlTest : public CmdInfoBaseTest {
  protected:
    std::string write(const std::string& xml, const std::string& name = "SystemSetting.xml") {
        const std::string path = dir_.file(name);
        testutil::writeFile(path, xml);
        return path;
    }
    testutil::TempDir dir_;
    CmdInfoBase cmd_{picojson::value(picojson::object())};
};

TEST_F(SystemSettingXmlTest, CompleteFile) {
    const std::string path = write(R"(<?xml version="1.0" encoding="UTF-8"?>
<logger loggerId="LG-0001" plantId="PL-77" model="x">
  <network><serverUrl>http://wrong.invalid/</serverUrl></network>
  <general>
    <name>site</name>
    <serverUrl>http://result.example.invalid/notify?a=1&amp;b=2</serverUrl>
  </general>
</logger>
)");
    log_.clear();
    EXPECT_TRUE(cmd_.loadFromSystemSettingXml(path));
    EXPECT_EQ(cmd_.getLoggerId(), "LG-0001");
    EXPECT_EQ(cmd_.getPlantId(), "PL-77");
    EXPECT_EQ(cmd_.getServerUrl(), "http://result.example.invalid/notify?a=1&b=2");
    EXPECT_EQ(lines(), std::vector<std::string>{"I : " + kUnit + "in loadFromSystemSettingXml"});
}

TEST_F(SystemSettingXmlTest, MissingPlantIdFailsButKeepsLoggerId) {
    const std::string path = write(
        R"(<logger loggerId="LG-0001"><general><serverUrl>http://r.invalid/</serverUrl></general></logger>)");
    log_.clear();
    EXPECT_FALSE(cmd_.loadFromSystemSettingXml(path));
    const std::vector<std::string> expected = {
        "I : " + kUnit + "in loadFromSystemSettingXml",
        "W : " + kUnit + "in loadFromSystemSettingXml : not found attribute (plantId)",
        "W : " + kUnit + "in loadFromSystemSettingXml : analize failed",
    };
    EXPECT_EQ(lines(), expected);
    EXPECT_EQ(cmd_.getLoggerId(), "LG-0001");
    EXPECT_EQ(cmd_.getPlantId(), "unknown");
    EXPECT_EQ(cmd_.getServerUrl(), "http://r.invalid/");
}

TEST_F(SystemSettingXmlTest, IncompleteFilesFail) {
    struct Case {
        std::string xml;
        std::string warning;  // empty: only "analize failed"
    };
    const std::vector<Case> cases = {
        {R"(<logger plantId="P"><general><serverUrl>u</serverUrl></general></logger>)",
         "not found attribute (loggerId)"},
        {R"(<logger loggerId="L" plantId="P"><other/></logger>)", "not found element (general)"},
        {R"(<logger loggerId="L" plantId="P"><general><url>u</url></general></logger>)",
         "not found element (serverUrl)"},
        // Written as "unknown" counts as not read.
        {R"(<logger loggerId="L" plantId="unknown"><general><serverUrl>u</serverUrl></general></logger>)",
         ""},
    };
    for (const auto& c : cases) {
        log_.clear();
        EXPECT_FALSE(cmd_.loadFromSystemSettingXml(write(c.xml))) << c.xml;
        if (!c.warning.empty()) {
            EXPECT_TRUE(hasLine("W : " + kUnit + "in loadFromSystemSettingXml : " + c.warning))
                << c.xml;
        }
        EXPECT_TRUE(hasLine("W : " + kUnit + "in loadFromSystemSettingXml : analize failed"))
            << c.xml;
    }
}

TEST_F(SystemSettingXmlTest, MissingOrUnusableFileResetsTheFields) {
    ASSERT_TRUE(cmd_.loadFromSystemSettingXml(write(
        R"(<logger loggerId="L" plantId="P"><general><serverUrl>u</serverUrl></general></logger>)")));

    // A missing file, a broken one and one whose first element is not logger read alike.
    for (const std::string& path :
         {dir_.file("missing.xml"),
          write("<logger loggerId=\"L\" plantId=\"P\"><general>", "cut.xml"),
          write(R"(<settings><logger loggerId="L" plantId="P"/></settings>)", "nested.xml")}) {
        log_.clear();
        EXPECT_FALSE(cmd_.loadFromSystemSettingXml(path));
        const std::vector<std::string> expected = {
            "I : " + kUnit + "in loadFromSystemSettingXml",
            "W : " + kUnit + "in loadFromSystemSettingXml : load error : not found element logger",
        };
        EXPECT_EQ(lines(), expected);
        EXPECT_EQ(cmd_.getLoggerId(), "unknown");
        EXPECT_EQ(cmd_.getPlantId(), "unknown");
        EXPECT_EQ(cmd_.getServerUrl(), "");
    }

    // A serverUrl element without text cannot be read: everything read so far is dropped.
    log_.clear();
    EXPECT_FALSE(cmd_.loadFromSystemSettingXml(
        write(R"(<logger loggerId="L" plantId="P"><general><serverUrl/></general></logger>)")));
    EXPECT_TRUE(hasLine("W : " + kUnit + "in loadFromSystemSettingXml : analize error"));
    EXPECT_FALSE(logMentions("analize failed"));
    EXPECT_EQ(cmd_.getLoggerId(), "unknown");
    EXPECT_EQ(cmd_.getPlantId(), "unknown");
    EXPECT_EQ(cmd_.getServerUrl(), "");
}

// Only a regular file of bounded size is read: a FIFO would block the order, a device or an
// endless file would fill memory. Each reads as a file without the logger element.
TEST_F(SystemSettingXmlTest, IrregularOrOversizedFileIsNotRead) {
    const std::string valid =
        R"(<logger loggerId="L" plantId="P"><general><serverUrl>http://r.invalid/</serverUrl></general></logger>)";
    const std::string fifo = dir_.file("fifo.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big =
        write(valid + "<!--" + std::string(zorcommon::kMaxXmlFileBytes, ' ') + "-->", "big.xml");
    for (const std::string& path : {fifo, std::string("/dev/zero"), big}) {
        log_.clear();
        EXPECT_FALSE(cmd_.loadFromSystemSettingXml(path)) << path;
        EXPECT_TRUE(log_.contains("load error : not found element logger")) << path;
    }
    EXPECT_TRUE(cmd_.loadFromSystemSettingXml(write(valid)));
}
