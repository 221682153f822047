// The agent's settings: the single, read-only SettingData of the process.
//
// Built once on the main thread before any other thread exists (createInstance): defaults,
// then the settings file, then the group name from the group file and the substrate code from
// the substrate code generator. Afterwards it is only read; getters return copies.
#pragma once

#include <cstddef>
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

    // Largest group file read, largest substrate code output taken, and how long the substrate
    // code command may run: the group file may lie in a folder anyone can write, and neither
    // it nor the command may hold up or flood the start.
    static constexpr size_t kMaxGroupFileBytes = 4096;
    static constexpr size_t kMaxSubstrateCodeOutput = 4096;
    static constexpr int kSubstrateCodeTimeoutMs = 10000;

    // Group name from a file of KEY=VALUE lines; "all" when the file or a usable line is
    // missing. Only a regular file of at most kMaxGroupFileBytes, not reached through a
    // symbolic link, is read (without blocking); anything else gives "all" and a warning on
    // standard error.
    static std::string readGroupName(const std::string& groupFile);
    // First line of the command's output when it exits with 0, else empty. A command still
    // running after timeoutMs, or printing more than kMaxSubstrateCodeOutput bytes, is killed:
    // empty, with a warning on standard error.
    static std::string readSubstrateCode(const std::string& command,
                                         int timeoutMs = kSubstrateCodeTimeoutMs);

  private:
    std::string path_;
    zorcommon::SettingStore store_;
    std::string groupName_ = "all";
    std::string substrateCode_;
};

}  // namespace data
}  // namespace zorcee
