// cee-updater's whole runs (runMain) as one table: update jobs written by the agent's own update
// command, a stand-in dpkg, a package updater that records its calls, a finish command and the
// logger application on a local port; what the starts leave behind is compared: exit statuses,
// run rows, installed versions, package updater calls, result files, finish commands and lock
// files. Beside it: package names in the installed-version query, the storage battery's answers,
// and the database access that whole runs cannot show (which run is due, the retry count, which
// runs an emergency update cancels, many cancel targets, the busy time-out).
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <regex>
#include <thread>

#include "Base64.h"
#include "CmdInfoUpdate.h"
#include "DbController.h"
#include "SettingData.h"
#include "TestUtil.h"
#include "updater/cee_upd.h"
#include "updater/db/DbUpdController.h"

using zorupd::cee_upd;
using zorupd::db::DbUpdController;
using zorupd::db::data::CancelProcInfo;
using zorupd::db::data::PackageInfoData;

namespace {

using Rows = std::vector<std::string>;
const char* const kDbFile = "db/cee_pkg_upd.db";

// The logger application's local HTTP interface: answers every POST with `answer` and keeps
// the request bodies.
struct LoggerApp {
    explicit LoggerApp(const std::string& answer) {
        server.Post("/", [this, answer](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            bodies.push_back(req.body);
            res.set_content(answer, "text/xml");
        });
        url = "http://127.0.0.1:" + std::to_string(server.bind_to_any_port("127.0.0.1")) + "/";
        thread = std::thread([this] { server.listen_after_bind(); });
        testutil::waitFor([this] { return server.is_running(); });
    }
    ~LoggerApp() { server.stop(), thread.join(); }
    httplib::Server server;
    std::string url;
    std::thread thread;
    std::mutex mutex;
    Rows bodies;
};

// The storage battery's answer to the operation status read.
std::string batteryAnswer(const std::string& status, const std::string& values) {
    return "<commandResponse><status>" + status + "</status><responseData>" + values +
           "</responseData></commandResponse>";
}

// One storage battery at communication address 3, listed in two channels: the later one's
// maker code counts.
const char* const kSystemSetting =
    "<logger loggerId=\"LG-1\" plantId=\"PL-9\"><general><serverUrl>http://127.0.0.1:9/"
    "</serverUrl></general><deviceList><storageBatteryDeviceList><storageBatteryDevice>"
    "<serialNumber>SB-0042</serialNumber><communicationAddress>3</communicationAddress>"
    "</storageBatteryDevice></storageBatteryDeviceList></deviceList><channelList><channel>"
    "<addressList><address no=\"3\"><manufacturer>0x000005</manufacturer></address>"
    "</addressList></channel><channel/><channel><addressList><address no=\"3\"><manufacturer>"
    "0x000008</manufacturer></address></addressList></channel></channelList></logger>";

struct Order {
    int type;  // 0 normal, 1 emergency
    const char* id;
    const char *packages, *cancel;  // file names; update command ids (separated by spaces)
    bool due = true;                // ordered days ago; otherwise now, due in a coming night
};
const Order kStart{-1, "", "", ""};  // in a case's orders: one start of the updater here

// A folder with everything a start of the updater touches ("@/" in texts stands for it):
//   bin/dpkg         lists the lines of `installed` ("state name version architecture")
//   package_updater  appends its argument to pu.args, copies its list to pu.list.N, prints a
//                    line, exits with line N of pu.codes (default 0)
//   finish.sh        appends a line to finish.started
// The agent's settings share the database, so jobs are written by its own update command.
class Site {
  public:
    explicit Site(const std::string& settings = "", const std::string& url = "") {
        ::mkdir(tmp.file("bin").c_str(), 0755);
        write("bin/dpkg",
              "#!/bin/sh\necho 'Desired=Unknown/Install/Remove/Purge/Hold'\necho '||/ "
              "Name Version Architecture Description'\ncat @/installed\n",
              0755);
        // Installs like a real one: each listed file's version goes into `installed`; line N
        // of pu.codes is "code" or "code:how many of the files were installed".
        write(
            "package_updater",
            "#!/bin/sh\necho \"$*\" >> @/pu.args\nn=$(wc -l < @/pu.args)\nif [ -f \"$1\" ]; then "
            "cp "
            "\"$1\" @/pu.list.$n; fi\necho \"package updater run $n\"\nline=$(sed -n \"${n}p\" "
            "@/pu.codes)\ncode=${line%%:*}\nkeep=${line#*:}\n[ \"$keep\" = \"$line\" ] && "
            "keep=$([ \"${code:-0}\" = 0 ] && echo 999 || echo 0)\ni=0\nfor f in $(grep -v '^#' "
            "\"$1\" 2>/dev/null | awk '{print $4}'); do\n  i=$((i + 1)); [ $i -gt $keep ] && "
            "break\n  b=${f%.deb}; p=${b%%_*}; r=${b#*_}\n  awk -v n=\"$p\" '$2 != n && index($2, "
            "n \":\") != 1' @/installed > @/installed.new\n  echo \"ii $p ${r%_*} ${r##*_}\" >> "
            "@/installed.new; mv @/installed.new @/installed\ndone\nif [ -e @/hold ]; then rm "
            "@/hold; python3 @/reader.py & while [ ! -e @/reader.alive ]; do sleep 0.01; done; "
            "fi\nexit ${code:-0}\n",
            0755);
        // Started by the package updater when "hold" exists: another writer's lock on the
        // database until the updater has closed it, so that no write of that start gets
        // through.
        write("reader.py",
              "import os, sqlite3, time\nc = sqlite3.connect('@/db/cee_pkg_upd.db', "
              "isolation_level=None)\nc.execute('BEGIN IMMEDIATE')\nopen('@/reader.alive', "
              "'w').close()\nend = time.time() + "
              "30\nwhile os.path.exists('@/db/db_upd.lock') and time.time() < end:\n    "
              "time.sleep(0.01)\nc.close()\nos.remove('@/reader.alive')\n");
        write("finish.sh", "echo \"started $#\" >> @/finish.started\n", 0755);
        write("SystemSetting.xml", kSystemSetting);
        write("mqtt_if.conf", R"({"BROKER_URI":"tcp://127.0.0.1:9","CONNECT_TIMEOUT_S":1})");
        write("upd.conf",
              R"({"ALIVE_CHECK": {"PING_SERVER": "127.0.0.1"}, "LOG": {"LOG_DIR": "@/log"},
            "DATABASE": {"DB_PATH": "@/db"}, "SYSTEM_SETTING_XML_FILE": "@/SystemSetting.xml",
            "PKG_UPDATE": {"LIST_FILE_PATH": "@/lists", "UPDATE_LOG_DIR": "@/update_log",
            "UPDATE_CMD_LINE": "@/package_updater", "PKG_DIR": "@/packages", "RESULT_DIR":
            "@/result", "REBOOT_COMMAND": "@/finish.sh"}, "QMT_HTTP": {"RETRY_NUM": 0, "URL": ")" +
                  (url.empty() ? "http://127.0.0.1:9/" : url) + "\"}" +
                  // The health check only where a case sets it up.
                  (settings.find("\"HEALTH\"") == std::string::npos
                       ? R"(, "HEALTH": {"ENABLED": false})"
                       : "") +
                  (settings.empty() ? "" : ", " + settings) + "}");
        write("cee.conf", R"({"CMD_SUBSTRATE_CODE": "true", "DATABASE": {"DB_PATH": "@/db"},
            "SYSTEM_SETTING_XML_FILE": "@/SystemSetting.xml"})");
        zorcee::data::SettingData::createInstance(tmp.file("cee.conf"));
        setenv("PATH", (tmp.file("bin") + ":" + path).c_str(), 1);  // dpkg stand-in first
        setenv("MQTT_IF_CONF", tmp.file("mqtt_if.conf").c_str(), 1);
        zorcee::db::DbController setup;
        EXPECT_EQ(setup.init(tmp.file("db"), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
    }
    ~Site() {
        sqlite3_close(reader);
        zorcee::data::SettingData::destroyInstance();
        setenv("PATH", path.c_str(), 1);
        unsetenv("MQTT_IF_CONF");
    }

    void write(const std::string& name, const std::string& text, int mode = 0644) {
        testutil::writeFile(tmp.file(name),
                            std::regex_replace(text, std::regex("@/"), tmp.path() + "/"), mode);
    }
    std::string read(const std::string& name) const { return testutil::readFile(tmp.file(name)); }
    bool has(const std::string& name) const { return testutil::exists(tmp.file(name)); }
    std::string db() const { return tmp.file(kDbFile); }
    Rows rows(const std::string& sql) const { return testutil::queryRows(db(), sql); }
    void exec(const std::string& sql) {
        sqlite3* c = nullptr;
        sqlite3_open(db().c_str(), &c);
        EXPECT_EQ(sqlite3_exec(c, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(c);
    }

    // An UpdateLogger order carried out by the agent's command at an injected time.
    void order(const Order& o) {
        std::string xml =
            "<commandRequest id=\"R\"><command>UpdateLogger</command><requestData>"
            "<command_type id=\"" +
            std::string(o.id) + "\">" + std::to_string(o.type) + "</command_type>";
        xml +=
            std::regex_replace(o.packages, std::regex("(\\S+) ?"), "<p>/var/repos/tools/$1</p>") +
            (*o.cancel ? "<cancel_id_list>" +
                             std::regex_replace(o.cancel, std::regex("(\\S+) ?"), "<p>$1</p>") +
                             "</cancel_id_list>"
                       : "") +
            "</requestData></commandRequest>";
        picojson::value value;
        picojson::parse(
            value,
            R"({"order":{"type":"cmd","indicate":"UpdateLogger","target":{}},"data":{"value":")" +
                zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(xml.data()),
                                        xml.size()) +
                R"("},"timestamp":"2026/12/07 10:00:00"})");
        zorcee::command::CmdInfoUpdate cmd(value);
        const std::time_t at = std::time(nullptr) - (!o.due ? 0 : o.type == 1 ? 3600 : 4 * 86400);
        cmd.setClock([at] { return at; });
        cmd.setRandomSource([](std::time_t, int count) {
            return std::vector<std::uint32_t>(static_cast<size_t>(count), 0);
        });
        EXPECT_EQ(cmd.execCommand(), 0) << xml;
    }

    // One start of the program (once a reader of the start before has gone); its exit status.
    int start() {
        testutil::waitFor([this] { return !has("reader.alive"); });
        return zorupd::runMain(tmp.file("upd.conf"));
    }

    // Each call: the kind and package lines of its list ("@/" for the folder), once the list's
    // place, header and the call's output file are as they should be.
    Rows calls() const {
        Rows out;
        std::istringstream args(read("pu.args"));
        const std::regex head(
            "^#{19}\n# (update|re-install\\(cancel\\)) package list\n"
            "#   create date: (\\d{8}_\\d{6})\n#\n");
        for (std::string arg; std::getline(args, arg);) {
            std::string text = read("pu.list." + std::to_string(out.size() + 1));
            std::smatch m;
            // (A start in the same second writes the same output file again.)
            const bool ok =
                std::regex_search(text, m, head) &&
                arg == tmp.file("lists/update_list_") + m[2].str() &&
                read(std::string(m[1] == "update" ? "update_log/update" : "update_log/cancel") +
                     ".log_" + m[2].str())
                        .rfind("package updater", 0) == 0;
            text = ok ? m[1].str() + ": " + m.suffix().str() : "unexpected: " + arg + "\n" + text;
            text = std::regex_replace(text.substr(0, text.size() - 1), std::regex("\n"), "; ");
            out.push_back(std::regex_replace(text, std::regex(tmp.path() + "/"), "@/"));
        }
        return out;
    }
    int finishes() const {
        const std::string text = read("finish.started");
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    // Links to the file "victim" at every name that a run of the next seconds writes.
    void plantLinks() {
        write("victim", "precious\n");
        Rows names = {"result/logger_reboot"};
        for (std::time_t t = std::time(nullptr); t < std::time(nullptr) + 5; ++t) {
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", std::localtime(&t));
            names.push_back(std::string("lists/update_list_") + stamp);
            names.push_back(std::string("update_log/update.log_") + stamp);
        }
        for (const auto& n : names) {
            ::mkdir(tmp.file(n.substr(0, n.find('/'))).c_str(), 0755);
            EXPECT_EQ(::symlink(tmp.file("victim").c_str(), tmp.file(n).c_str()), 0);
        }
    }

    testutil::TempDir tmp;
    const std::string path = std::getenv("PATH");
    sqlite3* reader = nullptr;  // held until the end
    zorcommon::DbLock lock;     // the lock file of an updater that is still running
};

const std::string kInstallFailed =
    "<12> execute update : UPDATE FAILED : install execution failed -> 256";
const std::string kMaximum = " | <97> : Maximum number of retries";
const std::string kNotRecorded = " : run not recorded, retried at the next start";

struct RunCase {
    const char* name;
    bool earlier;  // bpkg 2.0 (601) installed by one start before the case's own starts
    std::vector<Order> orders;
    // The package manager's list; exit codes of the package updater's calls.
    const char *installed, *codes;
    // More members of the updater's settings; SQL applied to the jobs before the starts.
    std::string settings, sql;
    std::vector<int> status;  // exit status of each start
    // proc_info: command_info_id|exic_num|proc_status|result text (4 characters); package_list:
    // installed version found; package updater calls, the earlier start's included.
    Rows runs, old, calls;
    std::string failed, success;  // the result files, "": none
    int finishes;                 // finish commands, the earlier start's included
    std::string battery = "";     // the storage battery's answer ("": no logger application)
    const char* logHas = "";      // a line an operator greps for
    int retryAfter = -1;          // seconds from the first start to the last retry run
    std::function<void(Site&)> prepare = [](Site&) {};  // after the orders, before the sql
};

const std::string kAbcList = "update: 1 @/packages tools abc_1.2_armhf.deb";
const std::string kBpkgList = "update: 1 @/packages tools bpkg_2.0_armhf.deb";
const std::string kBpkgBack = "re-install(cancel): 1 @/packages tools bpkg_1.0_armhf.deb";
const char* const kNoInterval = R"("UPDATE_RETRY": {"UPD_RETRY_INTERVAL": 0})";
const Order kAbc{0, "101", "abc_1.2_armhf.deb", ""};
const char* const kAbcInstalled = "ii abc-tools 2.0 all\nii abc 1.0 armhf\nrc abcd 1 all\n";
const char* const kTwoInstalled = "ii bpkg 1.0 armhf\nii epkg 1.0 armhf\n";

}  // namespace

TEST(CeeUpdRun, WholeRunsOnTheAgentsJobs) {
    // clang-format off
    const RunCase cases[] = {
        {"the whole name in state ii gives the old version; a lock file left by an updater that "
         "died is taken over; links planted at the names the run writes are replaced", false,
         {kAbc}, kAbcInstalled, "", "", "", {0}, {"1|0|1|"}, {"abc_1.0_armhf.deb"}, {kAbcList}, "",
         "update\n101\n", 1, "", "", -1,
         [](Site& s) { s.write("db/db_upd.lock", ""), s.plantLinks(); }},
        {"nothing due", false, {{0, "101", "abc_1.2_armhf.deb", "", false}}, kAbcInstalled, "", "",
         "", {0}, {"1|0|0|NULL"}, {"NULL"}, {}, "", "", 0},
        {"network down", false, {kAbc}, kAbcInstalled, "", R"("ALIVE_CHECK": {"PING_SERVER":
         "0.0.0.1"})", "", {100}, {"1|0|0|NULL"}, {"NULL"}, {}, "", "", 0},
        {"not installed: retried, an earlier success file stays", true, {{0, "602",
         "ghi_2.0_armhf.deb", ""}}, "ii bpkg 1.0 armhf\nii zz-other 1 all\n", "", "", "", {0},
         {"1|0|1|", "2|0|2|", "2|1|0|NULL"}, {"bpkg_1.0_armhf.deb", "NULL"}, {kBpkgList},
         "602\n<4> Old package not found\n", "update\n601\n", 2, "", "", 120},
        {"one of two packages installed", false, {{0, "101", "abc_1.2_armhf.deb def_2.0_armhf.deb",
         ""}}, kAbcInstalled, "", "", "", {0}, {"1|0|2|", "1|1|0|NULL"}, {"NULL", "NULL"}, {},
         "101\n<4> get now installed package : Pakcage num does not match the old package : "
         "install num -> 2 : old package num -> 1\n", "", 1},
        {"install refused: retried up to UPD_RETRY_NUM", false, {kAbc}, kAbcInstalled,
         "1\n1\n1\n1\n", R"("UPDATE_RETRY": {"UPD_RETRY_NUM": 2, "UPD_RETRY_INTERVAL": 0})", "",
         {0, 0, 0, 0}, {"1|0|2|<12>", "1|1|2|<12>", "1|2|2|<12>"}, {"abc_1.0_armhf.deb"},
         {kAbcList, kAbcList, kAbcList}, "101\n" + kInstallFailed + kMaximum + "\n", "", 3},
        {"retry settings out of range fall back", false, {kAbc}, kAbcInstalled, "1\n",
         R"("UPDATE_RETRY": {"UPD_RETRY_NUM": -1, "UPD_RETRY_INTERVAL": -5})", "", {0},
         {"1|0|2|<12>", "1|1|0|NULL"}, {"abc_1.0_armhf.deb"}, {kAbcList}, "101\n" +
         kInstallFailed + "\n", "", 1, "", "setting UPD_RETRY_INTERVAL -> -5 is out of range : "
         "default 120 is used", 120},
        {"a stored retry count that is no number counts as the limit", false, {kAbc},
         kAbcInstalled, "1\n", kNoInterval, "UPDATE proc_info SET exic_num = 'abc'", {0, 0},
         {"1|abc|2|<12>"}, {"abc_1.0_armhf.deb"}, {kAbcList}, "101\n" + kInstallFailed +
         kMaximum + " : retry count is not a number of 0 or more\n", "", 1},
        {"emergency: cancels the pending, re-installs the installed, installs", true, {{0, "602",
         "cpkg_2.0_armhf.deb", "", false}, {1, "603", "epkg_3.0_armhf.deb", "601 602 999"}},
         kTwoInstalled, "", "", "", {0}, {"1|0|3|", "2|0|4|NULL", "3|0|1|"}, {"bpkg_1.0_armhf.deb",
         "NULL", "epkg_1.0_armhf.deb"}, {kBpkgList, kBpkgBack, "update: 3 @/packages tools "
         "epkg_3.0_armhf.deb"}, "", "update\n603\n", 2, "", "<7> cancel pending updates : find "
         "update targets"},
        {"emergency that only cancels", true, {{0, "602", "cpkg_2.0_armhf.deb", "", false}, {1,
         "603", "", "601 602"}}, kTwoInstalled, "", "", "", {0}, {"1|0|3|", "2|0|4|NULL",
         "3|0|1|"}, {"bpkg_1.0_armhf.deb", "NULL"}, {kBpkgList, kBpkgBack}, "", "update\n603\n", 2},
        {"emergency whose look-up fails still cancels", false, {{0, "802", "ghi_2.0_armhf.deb", "",
         false}, {1, "801", "ghi_3.0_armhf.deb", "802"}}, "rc ghi 2.0 armhf\n", "", "", "", {0},
         {"1|0|4|NULL", "2|0|2|", "2|1|0|NULL"}, {"NULL", "NULL"}, {},
         "801\n<4> Old package is found, but not match\n", "", 1},
        {"re-install refused: counted up to the maximum; the pending update stays cancelled",
         true, {{0, "602", "cpkg_2.0_armhf.deb", "", false}, {1, "603", "epkg_3.0_armhf.deb",
         "601 602"}}, kTwoInstalled, "0\n1\n1\n", R"("UPDATE_RETRY": {"UPD_RETRY_NUM": 1,
         "UPD_RETRY_INTERVAL": 0})", "", {0, 0, 0}, {"1|0|1|", "2|0|4|NULL", "3|0|2|<9> ",
         "3|1|2|<9> "}, {"bpkg_1.0_armhf.deb", "NULL", "NULL"}, {kBpkgList, kBpkgBack, kBpkgBack},
         "603\n<9> : re-install(cancel) execution failed -> 256" + kMaximum + "\n",
         "update\n601\n", 3},
        {"a retry after a partial install keeps the first old version; the cancel puts both "
         "back", false, {{0, "101", "abc_1.2_armhf.deb def_2.0_armhf.deb", ""}, kStart, kStart,
         {1, "700", "", "101"}}, "ii abc 1.0 armhf\nii def 1.0 armhf\n", "1:1\n", kNoInterval,
         "", {0, 0, 0}, {"1|0|2|<12>", "1|1|3|", "2|0|1|"}, {"abc_1.0_armhf.deb",
         "def_1.0_armhf.deb"}, {kAbcList + "; 1 @/packages tools def_2.0_armhf.deb", kAbcList +
         "; 1 @/packages tools def_2.0_armhf.deb", "re-install(cancel): 1 @/packages tools "
         "abc_1.0_armhf.deb; 1 @/packages tools def_1.0_armhf.deb"}, "", "update\n700\n", 3},
        {"cancelling an emergency update brings back what was there before the update it "
         "cancelled", true, {{1, "603", "bpkg_3.0_armhf.deb", "601"}, kStart, {1, "604", "",
         "603"}}, kTwoInstalled, "", "", "", {0, 0}, {"1|0|3|", "2|0|3|", "3|0|1|"},
         {"bpkg_1.0_armhf.deb", "bpkg_1.0_armhf.deb"}, {kBpkgList, kBpkgBack, "update: 2 "
         "@/packages tools bpkg_3.0_armhf.deb", "re-install(cancel): 2 @/packages tools "
         "bpkg_1.0_armhf.deb"}, "", "update\n604\n", 3},
        {"the same update ordered again takes the old version of the first installation", false,
         {kAbc, kStart, kAbc, kStart, {1, "700", "", "101"}}, kAbcInstalled, "", "", "", {0, 0,
         0}, {"1|0|3|", "2|0|3|", "3|0|1|"}, {"abc_1.0_armhf.deb", "abc_1.0_armhf.deb"},
         {kAbcList, "update: 2 @/packages tools abc_1.2_armhf.deb", "re-install(cancel): 1 "
         "@/packages tools abc_1.0_armhf.deb"}, "", "update\n700\n", 3},
        {"cancel of a failed update: only the package that changed goes back", false, {{0, "101",
         "abc_1.2_armhf.deb def_2.0_armhf.deb", ""}, kStart, {1, "700", "", "101"}},
         "ii abc 1.0 armhf\nii def 1.0 armhf\n", "1:1\n", R"("UPDATE_RETRY": {"UPD_RETRY_NUM":
         0})", "", {0, 0}, {"1|0|3|<12>", "2|0|1|"}, {"abc_1.0_armhf.deb", "def_1.0_armhf.deb"},
         {kAbcList + "; 1 @/packages tools def_2.0_armhf.deb", "re-install(cancel): 1 @/packages "
         "tools abc_1.0_armhf.deb"}, "", "update\n700\n", 2},
        {"battery firmware put back by a cancel while the battery does not answer: not put back",
         false, {{0, "101", "tusk-batfw_2.0_armhf.deb", ""}, {1, "700", "", "101"}},
         "ii tusk-batfw 2.0 armhf\n", "", "", "UPDATE proc_info SET proc_status = 1 WHERE "
         "command_info_id = 1; UPDATE package_list SET old_package_filename = "
         "'tusk-batfw_1.0_armhf.deb'", {0}, {"1|0|1|NULL", "2|0|2|", "2|1|0|NULL"},
         {"tusk-batfw_1.0_armhf.deb"}, {}, "700\n<6.5> Storage battery connection check : "
         "FAILED\n", "", 1, batteryAnswer("TIMEOUT", "")},
        {"held, Multi-Arch and an epoch: installed, the old file name without the epoch", false,
         {{0, "101", "zlibx_1.3_armhf.deb", ""}}, "hi zlibx:armhf 1:1.2.13-1 armhf\n", "", "", "",
         {0}, {"1|0|1|"}, {"zlibx_1.2.13-1_armhf.deb"}, {"update: 1 @/packages tools "
         "zlibx_1.3_armhf.deb"}, "", "update\n101\n", 1},
        {"a commit that fails after the install: the next start finds it installed, installs "
         "nothing again", false, {kAbc}, kAbcInstalled, "", R"("DATABASE": {"DB_PATH": "@/db",
         "BUSY_TIMEOUT_MS": 0})", "", {3, 0}, {"1|0|1|"}, {"abc_1.0_armhf.deb"}, {kAbcList},
         "", "update\n101\n", 1, "", "interrupted attempt : proc_info.id -> 1 : install", -1,
         [](Site& s) { s.write("hold", ""); }},
        {"a commit that fails after a partial install: settled as such, the retry installs "
         "both, the first old version kept", false, {{0, "101", "abc_1.2_armhf.deb "
         "def_2.0_armhf.deb", ""}}, "ii abc 1.0 armhf\nii def 1.0 armhf\n", "1:1\n",
         R"("DATABASE": {"DB_PATH": "@/db", "BUSY_TIMEOUT_MS": 0}, "UPDATE_RETRY":
         {"UPD_RETRY_INTERVAL": 0})", "", {3, 0, 0}, {"1|0|2|<12>", "1|1|1|"},
         {"abc_1.0_armhf.deb", "def_1.0_armhf.deb"}, Rows(2, kAbcList + "; 1 @/packages tools "
         "def_2.0_armhf.deb"), "", "update\n101\n", 2, "", "found partly installed", -1, [](Site& s) { s.write("hold", ""); }},
        {"re-install list not written: nothing re-installed or installed, retried", true, {{1,
         "603", "epkg_3.0_armhf.deb", "601"}}, kTwoInstalled, "", "", "", {0}, {"1|0|1|",
         "2|0|2|", "2|1|0|NULL"}, {"bpkg_1.0_armhf.deb", "NULL"}, {kBpkgList}, "603\n<8> create "
         "cancel package list : create cancel package list file error\n", "update\n601\n", 2,
         "", "", -1, [](Site& s) {
             EXPECT_EQ(std::system(("rm -r " + s.tmp.file("lists")).c_str()), 0);
             s.write("lists", "");
         }},
        {"the failure file cannot be written: no finish command", false, {kAbc}, kAbcInstalled,
         "1\n", "", "", {4}, {"1|0|2|<12>", "1|1|0|NULL"}, {"abc_1.0_armhf.deb"}, {kAbcList}, "",
         "", 0, "", "failure file not written", -1, [](Site& s) { s.write("result", ""); }},
        {"a database locked beyond the busy time-out is not called unreadable", false, {kAbc},
         kAbcInstalled, "", R"("DATABASE": {"DB_PATH": "@/db", "BUSY_TIMEOUT_MS": 0})", "", {2},
         {}, {}, {}, "", "", 0, "", "Database is locked : due run query failed -> 5", -1,
         [](Site& s) {
             sqlite3_open(s.db().c_str(), &s.reader);
             // Exclusive locking mode: in WAL mode the one lock that holds back readers too.
             sqlite3_exec(s.reader, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                          nullptr, nullptr);
         }},
        {"battery firmware while the battery does not answer", false, {{0, "101",
         "tusk-batfw_2.0_armhf.deb", ""}}, "ii tusk-batfw 1.0 armhf\n", "", "", "", {0},
         {"1|0|2|", "1|1|0|NULL"}, {"tusk-batfw_1.0_armhf.deb"}, {}, "101\n<6.5> Storage battery "
         "connection check : FAILED\n", "", 1, batteryAnswer("TIMEOUT", "")},
        {"battery firmware while the battery answers", false, {{0, "101", "abc_1.2_armhf.deb "
         "tusk-batfw_2.0_armhf.deb", ""}}, "ii abc 1.0 armhf\nii tusk-batfw 1.0 armhf\n", "", "",
         "", {0}, {"1|0|1|"}, {"abc_1.0_armhf.deb", "tusk-batfw_1.0_armhf.deb"}, {kAbcList +
         "; 1 @/packages tools tusk-batfw_2.0_armhf.deb"}, "", "update\n101\n", 1,
         batteryAnswer("SUCCESS", "<p>0x80</p><p>0x31</p>")},
        {"ids beyond 32 bits; a retry that succeeds removes the failure file", false, {kAbc},
         kAbcInstalled, "1\n", kNoInterval, "UPDATE command_info SET id = id + 4294967296; UPDATE "
         "package_list SET id = id + 4294967296, command_info_id = command_info_id + 4294967296; "
         "UPDATE proc_info SET id = id + 4294967296, command_info_id = command_info_id + "
         "4294967296", {0, 0}, {"4294967297|0|2|<12>", "4294967297|1|1|"}, {"abc_1.0_armhf.deb"},
         Rows(2, "update: 4294967297 @/packages tools abc_1.2_armhf.deb"), "", "update\n101\n", 2},
        {"no write gets through at any start: nothing installed, still due, no finish", false,
         {kAbc}, kAbcInstalled, "", R"("DATABASE": {"DB_PATH": "@/db", "BUSY_TIMEOUT_MS": 0})",
         "", {3, 3}, {"1|0|0|NULL"}, {"NULL"}, {}, "101\nfailed to record the outcome" + kNotRecorded +
         " | <5> : update old package info error\n", "", 0, "", "",
         -1, [](Site& s) {  // another writer's lock: no write gets through
             sqlite3_open(s.db().c_str(), &s.reader);
             sqlite3_exec(s.reader, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
         }},
        {"outcome not recorded (13)", false, {kAbc}, kAbcInstalled, "", "", "CREATE TRIGGER t "
         "BEFORE UPDATE OF r_result_str ON proc_info BEGIN SELECT RAISE(ABORT, 'x'); END", {3},
         {"1|0|0|NULL"}, {"abc_1.0_armhf.deb"}, {kAbcList}, "101\nfailed to record the outcome" + kNotRecorded +
         " | <13> update result to db : UPDATE SUCCESS : install {} : update proc_info.result "
         "error -> -1\n", "", 0},
        {"retry run not recorded (15)", false, {kAbc}, kAbcInstalled, "1\n", "", "CREATE TRIGGER "
         "t BEFORE INSERT ON proc_info BEGIN SELECT RAISE(ABORT, 'x'); END", {3}, {"1|0|0|NULL"},
         {"abc_1.0_armhf.deb"}, {kAbcList}, "101\nfailed to record the outcome" + kNotRecorded + " | " +
         kInstallFailed + "\n", "", 0},
        {"a list folder that cannot be made: nothing installed, retried", false, {kAbc},
         kAbcInstalled, "", "", "", {0}, {"1|0|2|", "1|1|0|NULL"}, {"abc_1.0_armhf.deb"}, {},
         "101\n<11> : create install package list file error\n", "", 1, "", "", -1,
         [](Site& s) { s.write("lists", ""); }},
        {"an output folder that cannot be made: the package updater is not started", false,
         {kAbc}, kAbcInstalled, "", "", "", {0}, {"1|0|2|<12>", "1|1|0|NULL"},
         {"abc_1.0_armhf.deb"}, {}, "101\n<12> : UPDATE FAILED : install execution error -> -1\n",
         "", 1, "", "", -1, [](Site& s) { s.write("update_log", ""); }},
        {"battery firmware, the battery missing from the logger's settings: not asked", false,
         {{0, "101", "tusk-batfw_2.0_armhf.deb", ""}}, "ii tusk-batfw 1.0 armhf\n", "", "", "",
         {0}, {"1|0|2|", "1|1|0|NULL"}, {"tusk-batfw_1.0_armhf.deb"}, {}, "101\n<6.5> Storage "
         "battery connection check : FAILED\n", "", 1, batteryAnswer("SUCCESS", "<p>0x30</p>"),
         "", -1, [](Site& s) {
             s.write("SystemSetting.xml", std::regex_replace(kSystemSetting, std::regex(
                 "<serialNumber>.*</serialNumber>"), ""));
         }},
        {"database file empty", false, {kAbc}, kAbcInstalled, "", "", "", {1}, {}, {}, {}, "", "",
         0, "", "", -1, [](Site& s) { s.write(kDbFile, ""); }},
        {"not a database", false, {kAbc}, kAbcInstalled, "", "", "", {1}, {}, {}, {}, "", "", 0, "",
         "", -1, [](Site& s) { s.write(kDbFile, std::string(2000, 'x')); }},
        {"a database without tables", false, {kAbc}, kAbcInstalled, "", "", "PRAGMA user_version "
         "= 1", {1}, {}, {}, {}, "", "", 0, "", "", -1, [](Site& s) { s.write(kDbFile, ""); }},
        {"lock file of a running updater: a second start does not open the door for a third",
         false, {kAbc}, kAbcInstalled, "", "", "", {2, 2}, {"1|0|0|NULL"}, {"NULL"}, {}, "", "", 0,
         "", "", -1, [](Site& s) {
             s.lock = zorcommon::DbLock(s.tmp.file("db"), "db_upd.lock", 2);
             EXPECT_TRUE(s.lock.createLockFile()); }},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = c.battery.empty() ? nullptr : std::make_unique<LoggerApp>(c.battery);
        Site site(c.settings, app ? app->url : "");
        site.write("installed", c.installed);
        site.write("pu.codes", c.codes);
        if (c.earlier) {
            site.order({0, "601", "bpkg_2.0_armhf.deb", ""});
            ASSERT_EQ(site.start(), 0);
        }
        std::vector<int> status;
        for (const auto& o : c.orders) {
            o.type < 0 ? status.push_back(site.start()) : site.order(o);
        }
        c.prepare(site);
        site.exec(c.sql);
        while (status.size() < c.status.size()) {
            status.push_back(site.start());
        }
        EXPECT_EQ(status, c.status);
        if (!c.runs.empty()) {  // (no rows to read from a broken database)
            EXPECT_EQ(site.rows("SELECT command_info_id, exic_num, proc_status, "
                                "substr(r_result_str, 1, 4) FROM proc_info ORDER BY id"),
                      c.runs);
            EXPECT_EQ(site.rows("SELECT old_package_filename FROM package_list ORDER BY id"),
                      c.old);
        }
        EXPECT_EQ(site.calls(), c.calls);
        EXPECT_EQ(site.read("result/update_failed"), c.failed);
        EXPECT_EQ(site.read("result/logger_reboot"), c.success);
        testutil::waitFor([&] { return site.finishes() >= c.finishes; });
        EXPECT_EQ(site.finishes(), c.finishes);
        if (app) {  // at most one request, for the battery of the later channel
            std::lock_guard<std::mutex> lock(app->mutex);
            ASSERT_LE(app->bodies.size(), 1u);
            for (const auto& body : app->bodies) {
                EXPECT_TRUE(std::regex_search(body, std::regex("x=.2.>0x000008<[\\s\\S]*SB-0042")));
            }
        }
        EXPECT_NE(site.read("log/cee_upd.log").find(c.logHas), std::string::npos) << c.logHas;
        if (c.retryAfter >= 0) {  // the last retry run is due so long after the first start
            EXPECT_EQ(site.rows("SELECT abs(strftime('%s', max(sched_proc_time)) - strftime('%s', "
                                "min(r_start_time)) - 32400 - " +
                                std::to_string(c.retryAfter) + ") <= 5 FROM proc_info"),
                      Rows{"1"});
        }
        // Only a running updater keeps its lock file; a link never leads a write elsewhere.
        EXPECT_EQ(site.has("db/db_upd.lock"), site.lock.kind() != 0);
        EXPECT_EQ(site.read("victim"), site.has("victim") ? "precious\n" : "");
    }
}

namespace {

// An update (abc 1.0 -> 1.2, order 101) and starts of the updater with the health check on.
// Steps: 'h' a start on a healthy device, 's' a start while the COMMAND check fails, 'p' a
// start after abc was left half-configured, 'k' a start after three earlier starts were cut
// off within the window, 'f' a start while the COMMAND check fails every other time, 'a' a
// start while the COMMAND check fails after two roll-back attempts were cut off, 'x' an
// emergency order that cancels 101.
struct HealthCase {
    const char* name;
    const char* steps;
    std::string health;  // more members of HEALTH
    std::string answer;  // the logger application's answer
    const char* codes;   // the package updater's exit codes
    Rows runs, calls;
    std::string failed, success;
    int finishes;
    Rows verdicts;  // health_check: baseline_ok|phase|starts|passed|verdict|baseline_detail
};

const char* const kAnswer = "<commandResponse><status>SUCCESS</status></commandResponse>";
const std::string kAbcBack = "re-install(cancel): 1 @/packages tools abc_1.0_armhf.deb";
const std::string kPending = "update\n101\npending verification\n";

}  // namespace

// After an installation the next starts check the device; a run that is not healthy goes back
// to the versions recorded before it, once, and never loops.
TEST(CeeUpdRun, HealthCheckAfterTheInstallation) {
    const std::string sick = "command : exit 1";
    // clang-format off
    const HealthCase cases[] = {
        {"healthy: stays, the success file becomes final", "hh", "", kAnswer, "", {"1|0|1|"},
         {kAbcList}, "", "update\n101\n", 1, {"1|0|1|2|0|"}},
        {"unhealthy: the recorded old version goes back, then state 6", "hsh", "", kAnswer, "",
         {"1|0|6|<16>"}, {kAbcList, kAbcBack}, "101\n<16> health check failed : " + sick +
         " : rolled back\n", "", 2, {"1|1|1|2|2|"}},
        {"a package left half-configured: rolled back", "hph", "", kAnswer, "", {"1|0|6|<16>"},
         {kAbcList, kAbcBack}, "101\n<16> health check failed : packages : abc_1.2_armhf.deb not "
         "installed (found none) : rolled back\n", "", 2, {"1|1|1|2|2|"}},
        {"the old version unhealthy too: state 7, nothing more at later starts", "hsss", "",
         kAnswer, "", {"1|0|7|<17>"}, {kAbcList, kAbcBack}, "101\n<17> roll-back failed : old "
         "version unhealthy : " + sick + "\n", "", 2, {"1|1|1|0|3|"}},
        {"a roll-back that leaves the new version: state 7, no finish command", "hs", "",
         kAnswer, "0\n1:0\n", {"1|0|7|<17>"}, {kAbcList, kAbcBack}, "101\n<17> roll-back failed "
         ": re-install execution -> 256 : not installed : " + sick + "\n", "", 1, {"1|0|1|0|3|"}},
        {"unhealthy before the installation: unverified, never checked again", "hh", "",
         "not xml", "", {"1|0|1|"}, {kAbcList}, "", "update\n101\nunverified\n", 1,
         {"0|0|0|0|1|http : not a commandResponse : not xml"}},
        {"AUTO_ROLLBACK false: state 7, nothing re-installed", "hs",
         R"(, "AUTO_ROLLBACK": false)", kAnswer, "", {"1|0|7|<16>"}, {kAbcList}, "101\n<16> "
         "health check failed : " + sick + " : not rolled back (AUTO_ROLLBACK false)\n", "", 1,
         {"1|0|1|0|3|"}},
        {"passes never two in a row within the window: rolled back", "hf", R"(, "WINDOW_S": 2)",
         kAnswer, "",
         {"1|0|1|"}, {kAbcList, kAbcBack}, "101\n<16> health check failed : " + sick +
         " : rolled back\n", "", 2, {"1|1|0|0|NULL|"}},
        {"two roll-back attempts cut off before: state 7", "ha", "", kAnswer, "", {"1|0|7|<17>"},
         {kAbcList}, "101\n<17> roll-back failed : 2 attempt(s) did not finish : " + sick + "\n",
         "", 1, {"1|0|1|0|3|"}},
        {"MAX_VERIFY_STARTS starts cut off: rolled back without a check", "hk", "", kAnswer, "",
         {"1|0|1|"}, {kAbcList, kAbcBack}, "101\n<16> health check failed : verification cut "
         "off : 3 start(s) ended within the window : rolled back\n", "", 2, {"1|1|0|0|NULL|"}},
        {"cancelled while being verified: re-installed by the cancel, state 3", "hxhh", "",
         kAnswer, "", {"1|0|3|", "2|0|1|"}, {kAbcList, kAbcBack}, "", "update\n700\n", 2,
         {"1|0|0|0|NULL|"}},
        {"the check turned off while a run waits: unverified", "hh", "", kAnswer, "",
         {"1|0|1|"}, {kAbcList}, "", "update\n101\nunverified\n", 1, {"1|0|0|0|1|"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoggerApp app(c.answer);
        const bool turnedOff = std::string(c.name).find("turned off") != std::string::npos;
        // Checks at 0 and 1 s: a window of exactly CONSECUTIVE_OK checks, unless a case sets one.
        const std::string health =
            std::string(R"("HEALTH": {"SETTLE_S": 0, "INTERVAL_S": 1, "COMMAND": "@/check.sh")") +
            (c.health.find("WINDOW_S") == std::string::npos ? R"(, "WINDOW_S": 1)" : "") +
            c.health + "}";
        Site site(health, app.url);
        site.write("installed", kAbcInstalled);
        site.write("pu.codes", c.codes);
        site.write("check.sh",
                   "#!/bin/sh\n[ -e @/sick ] && exit 1\n[ -e @/flap ] || exit 0\nif [ -e @/flip ]; "
                   "then rm @/flip; exit 1; fi\ntouch @/flip\n",
                   0755);
        // Run ids apart from every other id, so that no row is found by a wrong key.
        site.exec("INSERT INTO sqlite_sequence (name, seq) VALUES ('proc_info', 40)");
        site.order(kAbc);
        for (const char* step = c.steps; *step != '\0'; ++step) {
            if (*step == 'x') {
                site.order({1, "700", "", "101"});
                continue;
            }
            *step == 's' || *step == 'a' ? site.write("sick", "")
                                         : (void)std::remove(site.tmp.file("sick").c_str());
            if (*step == 'f') {
                site.write("flap", "");
            } else if (*step == 'p') {
                site.write("installed", "ii abc-tools 2.0 all\niU abc 1.2 armhf\n");
            } else if (*step == 'a') {
                site.exec(
                    "INSERT INTO install_journal (proc_info_id, command_info_id, kind, files, "
                    "outcome) SELECT id, command_info_id, 2, 'abc_1.0_armhf.deb', 1 FROM "
                    "proc_info, (SELECT 1 UNION SELECT 2)");
            } else if (*step == 'k') {
                site.exec("UPDATE health_check SET starts = 3");
            }
            if (turnedOff && step != c.steps) {
                site.write("upd.conf",
                           std::regex_replace(site.read("upd.conf"), std::regex("\"HEALTH\": \\{"),
                                              R"("HEALTH": {"ENABLED": false, )"));
            }
            EXPECT_EQ(site.start(), 0) << *step;
        }
        EXPECT_EQ(site.rows("SELECT command_info_id, exic_num, proc_status, substr(r_result_str, "
                            "1, 4) FROM proc_info ORDER BY id"),
                  c.runs);
        EXPECT_EQ(site.calls(), c.calls);
        EXPECT_EQ(site.read("result/update_failed"), c.failed);
        EXPECT_EQ(site.read("result/logger_reboot"), c.success);
        // A run rolled back, or not, keeps the reason the failure file gave.
        for (const auto& text : site.rows("SELECT r_result_str FROM proc_info WHERE proc_status "
                                          "IN (6, 7)")) {
            EXPECT_EQ(c.failed, "101\n" + text + "\n");
        }
        testutil::waitFor([&] { return site.finishes() >= c.finishes; });
        EXPECT_EQ(site.finishes(), c.finishes);
        EXPECT_EQ(site.rows("SELECT baseline_ok, phase, starts, passed, verdict, baseline_detail "
                            "FROM health_check"),
                  c.verdicts);
    }
}

// Section HEALTH: a value out of range gives its default with a warning; a window too short for
// its checks is lengthened to hold them.
TEST(CeeUpdRun, HealthSettingsOutOfRange) {
    const struct {
        const char* health;
        int settle, interval, window, ok, starts, timeout, attempts;
        bool enabled, rollback, warned;
    } cases[] = {
        {"", 60, 30, 600, 2, 3, 30, 2, true, true, false},
        {R"("SETTLE_S": 0, "INTERVAL_S": 1, "WINDOW_S": 1, "CONSECUTIVE_OK": 3, "ENABLED": false,
            "AUTO_ROLLBACK": false, "MAX_ROLLBACK_ATTEMPTS": 1)",
         0, 1, 2, 3, 3, 30, 1, false, false, true},
        {R"("SETTLE_S": -1, "INTERVAL_S": 0, "CONSECUTIVE_OK": 0, "MAX_VERIFY_STARTS": 0,
            "COMMAND_TIMEOUT_S": 100000, "MAX_ROLLBACK_ATTEMPTS": 0, "WINDOW_S": 5)",
         60, 30, 90, 2, 3, 30, 2, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.health);
        Site site(std::string(R"("HEALTH": {)") + c.health + "}");
        zorupd::data::SettingData settings(site.tmp.file("upd.conf"));
        testutil::CapturedLog log{"upd"};
        const zorcommon::Logger logger = spdlog::get("upd");
        const auto h = zorupd::readHealthSettings(settings, &logger);
        EXPECT_EQ(std::vector<int>({h.settleS, h.intervalS, h.windowS, h.consecutiveOk,
                                    h.maxVerifyStarts, h.commandTimeoutS, h.maxRollbackAttempts}),
                  std::vector<int>(
                      {c.settle, c.interval, c.window, c.ok, c.starts, c.timeout, c.attempts}));
        EXPECT_EQ(h.enabled, c.enabled);
        EXPECT_EQ(h.autoRollback, c.rollback);
        EXPECT_EQ(log.contains("WINDOW_S") || log.contains("out of range"), c.warned);
    }
}

// The install journal holds each attempt: what it put in place, what dpkg showed afterwards and
// the package updater's status.
TEST(CeeUpdRun, TheJournalRecordsEveryAttempt) {
    Site site("", "");
    site.write("installed", "ii abc 1.0 armhf\nii def 1.0 armhf\n");
    site.write("pu.codes", "1:1\n0\n1\n");
    site.order({0, "101", "abc_1.2_armhf.deb def_2.0_armhf.deb", ""});
    EXPECT_EQ(site.start(), 0);  // abc only: partly installed, retried
    site.exec("UPDATE proc_info SET sched_proc_time = '2000-01-01 00:00:00'");
    EXPECT_EQ(site.start(), 0);
    site.order({1, "700", "", "101"});
    EXPECT_EQ(site.start(), 0);  // the re-install refused
    EXPECT_EQ(site.rows("SELECT kind || '|' || outcome || '|' || exit_status || '|' || "
                        "replace(files, char(10), ' ') FROM install_journal ORDER BY id"),
              (Rows{"0|2|256|abc_1.2_armhf.deb def_2.0_armhf.deb ",
                    "0|0|0|abc_1.2_armhf.deb def_2.0_armhf.deb ",
                    "1|1|256|abc_1.0_armhf.deb def_1.0_armhf.deb "}));
}

// Package names reach a shell command: quoted, and taken literally by the pattern. Battery
// answers: only an operation status of 0x30 or 0x31 in a SUCCESS answer counts as "on".
TEST(CeeUpdRun, PackageNamesAndBatteryAnswers) {
    Site site;
    zorupd::data::SettingData::createInstance(site.tmp.file("upd.conf"));
    cee_upd updater(nullptr);
    const std::string marker = site.tmp.file("INJECTED");
    site.write("installed", "ii x 1.0 armhf\nii y 1.0 armhf\nii axb 2.0 armhf\nii q'x+1 1.5 all\n");
    for (const std::string& name :
         {"x';touch " + marker + ";'", "x'$(touch " + marker + ") y", "`touch " + marker + "`",
          std::string("a.b"), std::string("q'x+1")}) {
        std::vector<PackageInfoData> packages(1);
        packages[0].package_name = name;
        packages[0].package_filename = name + "_2.0_all.deb";
        const bool quoted = name == "q'x+1";  // the only one installed ("a.b" is not "axb")
        EXPECT_EQ(updater.searchOldPackageVersion(packages), quoted ? 1 : -4) << name;
        EXPECT_EQ(packages[0].old_package_filename, quoted ? "q'x+1_1.5_all.deb" : "") << name;
    }
    EXPECT_FALSE(testutil::exists(marker));

    // Nesting far beyond the XML parser's depth limit is a parse error, not a deep recursion.
    const std::string deep = batteryAnswer(
        "SUCCESS", std::regex_replace(std::string(100000, 'p'), std::regex("p"), "<p>"));
    const std::pair<std::string, int> answers[] = {
        {batteryAnswer("SUCCESS", "<p>0x30</p>"), 1},
        {batteryAnswer("SUCCESS", "<p></p><p>0x31</p>"), 1},
        {batteryAnswer("SUCCESS", "<p></p><p>0x32</p><p>0x30 </p>"), -1},
        {batteryAnswer("SUCCESS ", "<p>0x30</p>"), -1},
        {batteryAnswer("FAILURE", "<p>0x30</p>"), -1},
        {"<commandResponse><status>SUCCESS</status></commandResponse>", -1},
        {"", -1},
        {deep, -1},
    };
    for (const auto& a : answers) {
        EXPECT_EQ(updater.checkReceiveData(a.first), a.second) << a.first.substr(0, 200);
    }
    zorupd::data::SettingData::destroyInstance();
}

namespace {

// The agent's connection and the updater's on a Site's database.
struct Jobs : Site {
    Jobs() {
        EXPECT_TRUE(agent.open(tmp.file("db"), "cee_pkg_upd.db"));
        EXPECT_EQ(upd.init(tmp.file("db"), "cee_pkg_upd.db", "db_cee.lock", "db_upd.lock"), 0);
        EXPECT_TRUE(upd.open());
    }
    ~Jobs() { upd.close(), agent.close(); }

    // An update order written by the agent, with runs in the given states due `minutes`,
    // `minutes` + 1, ... from now (UTC+9 wall-clock text, as the agent writes it). Its id.
    std::int64_t order(const std::string& commandId, int type, int minutes = 0, Rows states = {}) {
        const auto id = agent.insertCommandInfoBasic("UpdateLogger", "<r/>", "2026/12/07 10:00:00");
        EXPECT_EQ(agent.updateCommandInfoForUpd(id, commandId, "REQ", type, "x"), 1);
        for (const auto& state : states) {
            exec("INSERT INTO proc_info (command_info_id, sched_proc_time, proc_status) VALUES (" +
                 std::to_string(id) + ", datetime('now', '+9 hours', '" +
                 std::to_string(minutes++) + " minutes'), " + state + ")");
        }
        return id;
    }

    testutil::CapturedLog log{"upd"};
    zorcee::db::DbController agent;
    DbUpdController upd;
};

}  // namespace

TEST(DbUpdController, DueRunIsTheHighestTypeThenTheEarliestDueInUtcPlusNine) {
    const struct {
        const char* name;
        std::vector<std::vector<int>> runs;  // update type, due in minutes from now, state
        int winner;                          // index into runs, -1: none
    } cases[] = {
        {"not yet due, done, no update type",
         {{0, 10, 0}, {0, -10, 1}, {-1, -10, 0}, {3, -10, 0}},
         -1},
        {"failed, cancelled, superseded", {{0, -5, 2}, {0, -5, 3}, {0, -5, 4}, {0, -5, 5}}, -1},
        {"emergency due later beats normal", {{0, -30, 0}, {1, -5, 0}, {2, 5, 0}}, 1},
        {"type 2 first", {{1, -30, 0}, {2, -5, 0}, {0, -60, 0}}, 1},
        {"earliest of one type", {{0, -5, 0}, {0, -60, 0}, {0, -30, 0}}, 1},
        {"a minute ahead is not due, a minute ago is", {{1, 1, 0}, {0, -1, 0}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Jobs j;
        for (size_t i = 0; i < c.runs.size(); ++i) {  // (run i + 1 of order 500 + i)
            j.order(std::to_string(500 + i), c.runs[i][0], c.runs[i][1],
                    {std::to_string(c.runs[i][2])});
        }
        const auto due = j.upd.selectTargetCommandInfo();
        const bool none = c.winner < 0;
        EXPECT_EQ(due.proc_info_id, none ? -1 : c.winner + 1);
        EXPECT_EQ(due.command_id, none ? -1 : 500 + c.winner);
        EXPECT_EQ(due.command_type, none ? -1 : c.runs[std::max(c.winner, 0)][0]);
    }
    Jobs j;  // an update command id without leading digits reads as 0
    j.order("x7", 0, -1, {"0"});
    EXPECT_EQ(j.upd.selectTargetCommandInfo().command_id, 0);

    // Another LOCALE_HOUR: scheduled and retry times are UTC + 0 hours. A run due in half an
    // hour of UTC is not due (it would be in UTC+9); one due a minute ago of UTC is.
    Jobs k;
    k.upd.setLocaleHour(0);
    k.order("900", 0, -9 * 60 + 30, {"0"});
    EXPECT_FALSE(k.upd.selectTargetCommandInfo().hasTarget());
    const auto id = k.order("901", 0, -9 * 60 - 1, {"0"});
    EXPECT_EQ(k.upd.selectTargetCommandInfo().command_id, 901);
    EXPECT_EQ(k.upd.insertNextProcInfo(id, 0), 1);
    EXPECT_EQ(k.rows("SELECT abs(strftime('%s', sched_proc_time) - strftime('%s', 'now')) <= 5 "
                     "FROM proc_info WHERE exic_num = 1"),
              Rows{"1"});
}

// Which earlier runs an emergency update cancels, as the updater marks them: the latest run of
// each order its cancel list names (when that order was known then), if pending (to 4,
// cancelled before execution) or installed (to 3, cancelled after install); no other run.
TEST(DbUpdController, RunsAnEmergencyUpdateCancels) {
    const struct {
        const char* id;
        Rows states, after;  // its runs' states, the latest due last
    } orders[] = {
        {"601", {"1", "0"}, {"1", "4"}}, {"602", {"0", "1"}, {"0", "3"}},
        {"603", {"1", "2"}, {"1", "2"}}, {"604", {"0", "3"}, {"0", "3"}},
        {"605", {"0", "4"}, {"0", "4"}}, {"606", {"1", "5"}, {"1", "5"}},
        {"607", {"0"}, {"0"}},  // in another emergency's list
        {"608", {"1"}, {"1"}},  // in the list, but not known when the list was written
    };
    Jobs j;
    Rows after;
    for (const auto& o : orders) {
        j.order(o.id, 0, -100, o.states);
        after.insert(after.end(), o.after.begin(), o.after.end());
    }
    const auto emergency = j.order("700", 1);
    const Rows known = {"601", "602", "603", "604", "605", "606"}, unknown = {"608"};
    EXPECT_EQ(j.agent.insertCancelCidList(emergency, known, known), 6);
    EXPECT_EQ(j.agent.insertCancelCidList(emergency, unknown, {}), 1);
    EXPECT_EQ(j.agent.insertCancelCidList(j.order("701", 1), {"607"}, {"607"}), 1);
    std::vector<CancelProcInfo> executed, pending;
    EXPECT_EQ(j.upd.selectCancelProcInfo(emergency, executed, pending), 2);
    EXPECT_EQ(j.upd.updateCancelNotExecProcInfo(pending), 1);
    EXPECT_EQ(j.upd.updateCancelSuccessProcInfo(executed), 1);
    EXPECT_EQ(j.rows("SELECT proc_status FROM proc_info ORDER BY id"), after);
}

TEST(DbUpdController, RetryCountAndManyCancelTargets) {
    Jobs j;
    // The stored count of the latest run; a count that is no whole number >= 0 is unusable.
    const std::pair<const char*, int> cases[] = {{"0", 0},    {"4", 4},          {"5", -1},
                                                 {"7", -1},   {"'abc'", -3},     {"-100", -3},
                                                 {"1.5", -3}, {"4294967296", -3}};
    for (const auto& c : cases) {
        const auto id = j.order("800", 0, -10, {"2"});
        j.exec("UPDATE proc_info SET exic_num = " + std::string(c.first) +
               " WHERE command_info_id = " + std::to_string(id));
        EXPECT_EQ(j.upd.selectNextProcNum(id, 5), c.second) << c.first;
    }
    // (The retry run's count and time: the whole runs.)
    EXPECT_EQ(j.upd.insertNextProcInfo(j.order("802", 0), 120), -1);  // nothing to count from

    // The packages of more than a thousand cancelled updates at once.
    j.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1200) INSERT "
        "INTO package_list (command_info_id, seq_no, package_filename, package_name, "
        "package_path) SELECT i, 1, 'p' || i || '_1_all.deb', 'p' || i, 'pool' FROM n");
    std::vector<CancelProcInfo> targets(1201);
    for (size_t i = 0; i < targets.size(); ++i) {
        targets[i].command_info_id = static_cast<std::int64_t>(i) + 1;
    }
    std::vector<PackageInfoData> list;
    EXPECT_EQ(j.upd.selectCancelPackageInfo(targets, list), 1200);
    EXPECT_EQ(list.back().package_filename, "p1200_1_all.deb");
}

// The agent and the updater hold connections at the same time: a statement that meets the
// other's lock waits up to the busy time-out, then fails.
TEST(DbUpdController, OtherConnectionsLocksAndTheBusyTimeOut) {
    struct Restore {
        ~Restore() { zorcommon::setBusyTimeoutMs(-1); }
    } restore;
    zorcommon::setBusyTimeoutMs(0);
    Jobs j;
    const auto id = j.order("77", 0, -10, {"0"});
    // The agent writes inside its transaction: the updater still reads, but cannot write.
    ASSERT_TRUE(j.agent.beginTransaction());
    ASSERT_EQ(j.agent.insertProcInfo(id, "2000-01-02 00:00:00"), 1);
    EXPECT_EQ(j.upd.selectTargetCommandInfo().command_id, 77);
    EXPECT_EQ(j.upd.insertNextProcInfo(id, 120), -1);
    EXPECT_TRUE(j.agent.commitTransaction());
    // A reader (cee-status) holds back no commit.
    sqlite3_open(j.db().c_str(), &j.reader);
    sqlite3_exec(j.reader, "BEGIN; SELECT count(*) FROM proc_info;", nullptr, nullptr, nullptr);
    ASSERT_TRUE(j.upd.beginTransaction());
    ASSERT_EQ(j.upd.insertNextProcInfo(id, 120), 1);
    EXPECT_TRUE(j.upd.commitTransaction());
    sqlite3_exec(j.reader, "ROLLBACK;", nullptr, nullptr, nullptr);
    // Under a busy time-out the updater's write waits until the other writer is done.
    sqlite3_exec(j.reader, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    j.upd.close();
    zorcommon::setBusyTimeoutMs(5000);
    ASSERT_TRUE(j.upd.open());
    ASSERT_TRUE(j.upd.beginTransaction());
    std::thread writerDone([&j] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        sqlite3_exec(j.reader, "ROLLBACK;", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(j.upd.insertNextProcInfo(id, 120), 1);
    EXPECT_TRUE(j.upd.commitTransaction());
    writerDone.join();
    EXPECT_EQ(j.rows("SELECT exic_num FROM proc_info ORDER BY id"), (Rows{"0", "0", "1", "2"}));
}
