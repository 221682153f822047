// The updater's settings: the single, read-only SettingData of cee-updater.
//
// Built once on the main thread at start-up (createInstance): the defaults, then the settings
// file (cee_upd.conf) through the shared loader. Afterwards it is only read; getters return
// copies. A key that a getter does not answer gives an empty string or -2147483648.
#pragma once

#include <array>
#include <string>

#include "SettingStore.h"

namespace zorupd {
namespace data {

class SettingData {
  public:
    static constexpr const char* kDefaultPath = "/usr/local/etc/zorcee/cee_upd.conf";
    // Ping host of the alive check when the settings file names none.
    static constexpr const char* kDefaultPingServer = "cee-server";
    // Every key name the updater knows, sections included; GROUP is known but never read.
    static const std::array<const char*, 54> kKeyNames;

    // Loads `path`; problems with the file go to standard error and leave the defaults.
    explicit SettingData(const std::string& path = kDefaultPath);

    // Creates the single instance from `path` if none exists yet.
    static void createInstance(const std::string& path = kDefaultPath);
    static SettingData* getInstance();
    static void destroyInstance();

    std::string getStringValue(const std::string& key) const;
    int getIntValue(const std::string& key) const;
    const std::string& getSettingFilePath() const { return path_; }

  private:
    std::string path_;
    zorcommon::SettingStore store_;
};

}  // namespace data
}  // namespace zorupd
