// The settings files the Debian package installs (packaging/etc/cee.conf, cee_upd.conf) hold
// exactly the programs' built-in defaults: every setting, each where the loader reads it.
#include <gtest/gtest.h>
#include <picojson.h>

#include <climits>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "SettingData.h"
#include "TestUtil.h"
#include "updater/data/SettingData.h"

namespace {

std::string packagedFile(const std::string& name) {
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/'));  // tests/unit
    return dir + "/../../packaging/etc/" + name;
}

struct Leaf {
    std::string key;
    picojson::value value;
};

// The members of the file that are not sections, with their section's members.
std::vector<Leaf> leaves(const picojson::value& root) {
    std::vector<Leaf> out;
    for (const auto& [key, value] : root.get<picojson::object>()) {
        if (value.is<picojson::object>()) {
            for (const auto& [inner, innerValue] : value.get<picojson::object>()) {
                out.push_back({inner, innerValue});
            }
        } else {
            out.push_back({key, value});
        }
    }
    return out;
}

picojson::value parse(const std::string& text) {
    picojson::value root;
    const std::string error = picojson::parse(root, text);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(root.is<picojson::object>());
    return root;
}

// Every value of the file changed: strings get a suffix, numbers grow by 7.
picojson::value changed(picojson::value v) {
    if (v.is<std::string>()) {
        return picojson::value(v.get<std::string>() + "-changed");
    }
    if (v.is<double>()) {
        return picojson::value(v.get<double>() + 7);
    }
    if (v.is<picojson::object>()) {
        picojson::object o;
        for (const auto& [key, inner] : v.get<picojson::object>()) {
            o[key] = changed(inner);
        }
        return picojson::value(o);
    }
    return v;
}

// Loads the packaged file and a copy with every value changed; a setting's value must equal
// the built-in default in the first and differ from it in the second (which shows that the
// file has it in the place the loader reads). Returns the keys of the file.
template <typename Settings>
std::set<std::string> checkFile(const std::string& name) {
    testutil::TempDir tmp;
    const std::string text = testutil::readFile(packagedFile(name));
    const picojson::value root = parse(text);
    testutil::writeFile(tmp.file("changed.conf"), changed(root).serialize(true));

    const Settings defaults(tmp.file("no-such-file.conf"));
    const Settings packaged(packagedFile(name));
    const Settings other(tmp.file("changed.conf"));
    std::set<std::string> keys;
    for (const Leaf& leaf : leaves(root)) {
        SCOPED_TRACE(name + ": " + leaf.key);
        EXPECT_TRUE(keys.insert(leaf.key).second) << "twice in the file";
        if (leaf.value.is<std::string>()) {
            EXPECT_NE(defaults.getStringValue(leaf.key), "") << "not a string setting";
            EXPECT_EQ(leaf.value.get<std::string>(), defaults.getStringValue(leaf.key));
            EXPECT_EQ(packaged.getStringValue(leaf.key), defaults.getStringValue(leaf.key));
            EXPECT_NE(other.getStringValue(leaf.key), defaults.getStringValue(leaf.key));
        } else if (leaf.value.is<double>()) {
            EXPECT_NE(defaults.getIntValue(leaf.key), INT_MIN) << "not a number setting";
            EXPECT_EQ(packaged.getIntValue(leaf.key), defaults.getIntValue(leaf.key));
            EXPECT_NE(other.getIntValue(leaf.key), defaults.getIntValue(leaf.key));
        } else {
            ADD_FAILURE() << "neither a string nor a number";
        }
    }
    return keys;
}

}  // namespace

TEST(PackagedSettings, AgentFileHoldsEveryDefault) {
    const auto keys = checkFile<zorcee::data::SettingData>("cee.conf");
    // Every setting of the agent (its configuration reference in the README).
    const std::set<std::string> all = {
        "CMD_SUBSTRATE_CODE", "SYSTEM_SETTING_XML_FILE", "PLATFORM", "FILE_GROUP", "SPOOL_DIR",
        "LOG_DIR", "LOG_FILE", "LOG_MAX_BYTES", "LOG_COUNTS",
        "URL", "RETRY_NUM", "RETRY_INTERVAL", "CURL_TIMEOUT", "CURL_CONNECT_TIMEOUT",
        "MAX_ANSWER_BYTES",
        "TIME_START", "TIME_END", "DAY_SPAN", "LOCALE_HOUR", "EMARG_UPD_START_SEC",
        "EMARG_UPD_END_SEC", "LIST_FILE_PATH", "LIST_PRE_NAME", "REMOVE_PKG_DIR",
        "DB_PATH", "DB_FILE", "LOCK_CEE", "LOCK_UPD", "BUSY_TIMEOUT_MS"};
    EXPECT_EQ(keys, all);
}

TEST(PackagedSettings, UpdaterFileHoldsEveryDefault) {
    const auto keys = checkFile<zorupd::data::SettingData>("cee_upd.conf");
    // Every key name the updater knows, less the section names and GROUP (never read).
    std::set<std::string> all(zorupd::data::SettingData::kKeyNames.begin(),
                              zorupd::data::SettingData::kKeyNames.end());
    for (const char* notASetting : {"ALIVE_CHECK", "LOG", "PKG_UPDATE", "UPDATE_RETRY",
                                    "DATABASE", "QMT_HTTP", "GROUP"}) {
        EXPECT_EQ(all.erase(notASetting), 1u) << notASetting;
    }
    EXPECT_EQ(keys, all);
}
