// The agent's settings: the single, read-only SettingData of the process.
//
// Built once on the main thread before any other thread exists (createInstance): defaults,
// then the settings file, then the group name from the group file and the substrate code from
// the substrate code generator. Afterwards it is only read; getters return copies.
#pragma once

#include <string>

#include "SettingStore.h"

namespace zorcee {
namespace data {

class SettingData {
  public:
    static constexpr const char* kDefaultPath = "/usr/local/etc/zorcee/cee.conf";

    // Whether the constructor also reads the group file and runs the substrate code generator.
    enum class Identity { Read, Skip };

    // Loads everything from `path`; problems with the file go to standard error. With
    // Identity::Skip only the settings file is read (group "all", substrate code empty): for
    // checking a file of unknown origin without running the command it names.
    explicit SettingData(const std::string& path = kDefaultPath,
                         Identity identity = Identity::Read);

    // Creates the single instance from `path` if none exists yet.
    static void createInstance(const std::string& path = kDefaultPath);
    static SettingData* getInstance();
    static void destroyInstance();

    std::string getStringValue(const std::string& key) const;
    int getIntValue(const std::string& key) const;
    const std::string& getHttpUrl() const;
    std::string getPlatform() const;
    std::string getGroupName() const { return groupName_; }
    std::string getSubstrateCode() const { return substrateCode_; }
    const std::string& getSettingFilePath() const { return path_; }

    // Group name from a file of KEY=VALUE lines; "all" when the file or a usable line is
    // missing.
    static std::string readGroupName(const std::string& groupFile);
    // First line of the command's output when it exits with 0, else empty.
    static std::string readSubstrateCode(const std::string& command);

  private:
    std::string path_;
    zorcommon::SettingStore store_;
    std::string groupName_ = "all";
    std::string substrateCode_;
};

}  // namespace data
}  // namespace zorcee
