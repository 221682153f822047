// Command object model: one object per server order, holding the parsed order for its whole
// life, its name, description and the four capability flags that tell the order thread what to
// do with it, plus the JSON operations all commands share (target check, payload and timestamp
// extraction, the rewrites that turn the order into its answer, SystemSetting.xml reading).
//
// A plain CmdInfoBase stands for an order that cannot be executed (unparsable, not a command,
// unknown name). Created, used and deleted on one order thread; no operation throws for a JSON
// or XML problem: each logs it and answers false or an empty string.
#pragma once

#include <picojson.h>

#include <string>

#include "Logging.h"

namespace zorcee {
namespace data {
class SettingData;
}
namespace conn {
class ConnectionManager;
}

namespace command {

class CmdInfoBase {
  public:
    // The object for an order that cannot be executed: name "base", all flags false. The
    // order is taken by value: callers that no longer need it move it in (orders may be
    // megabytes).
    explicit CmdInfoBase(picojson::value order);
    // For concrete commands: no log line; flags cleared for the subclass to set.
    CmdInfoBase(picojson::value order, const std::string& name, const std::string& description);
    virtual ~CmdInfoBase() = default;
    CmdInfoBase(const CmdInfoBase&) = delete;
    CmdInfoBase& operator=(const CmdInfoBase&) = delete;

    // Base version: refreshes the timestamp; 0.
    virtual int execCommand();
    // The order (the answer, once executed) as compact JSON; byte sequences of the order that
    // are not valid UTF-8 are replaced by U+FFFD.
    virtual std::string getOutputData();
    virtual void setCommandInfo(const std::string& name, const std::string& description);

    const std::string& getName() const { return name_; }
    const std::string& getDescription() const { return description_; }
    bool isExecutable() const { return executable_; }
    bool hasOutput() const { return hasOutput_; }
    bool isUseConnectionManager() const { return useConnectionManager_; }
    bool isSendResult() const { return sendResultToServer_; }
    std::string getResultString() const { return resultString_; }
    std::string getServerUrl() const { return serverUrl_; }
    std::string getLoggerId() const { return loggerId_; }
    std::string getPlantId() const { return plantId_; }
    void setConnectionManager(conn::ConnectionManager* manager) { connectionManager_ = manager; }
    const picojson::value& getOrderJson() const { return orderJson_; }

    // Whether this terminal is addressed: order.target.platform, .group and .terminal must each
    // hold this terminal's value or a wildcard ("all", "*").
    bool isExecTarget(const std::string& platform, const std::string& group,
                      const std::string& substrateCode);
    // Throws std::runtime_error for an element that is not a string (caller's type error).
    bool hasTargetInArray(const picojson::value& array, const std::string& value,
                          bool wildcardAllowed);
    // Decoded data.value; empty if none.
    std::string choiseDataValue();
    // The order's timestamp text; empty if none.
    std::string choiseTimestamp();
    // Reads loggerId, plantId and serverUrl; true when all three were found. Only a regular
    // file of at most kMaxXmlFileBytes is read.
    bool loadFromSystemSettingXml(const std::string& path);
    // data.value = newValue, data.result = "success" (0) / "failed" (1), replacing a result the
    // order carried.
    bool reWriteData4Return(int resultIndex, std::string newValue);
    // Removes platform, group and terminal from order.target; other members stay.
    bool eraseTarget();
    // timestamp = current UTC time "%Y-%m-%d %X".
    bool reWriteTimestamp();
    // Base64 of text; empty for an empty text.
    std::string encodeDataValue(const std::string& text) const;

  protected:
    // True when orderJson is an object without members (or no object at all).
    bool isOrderEmpty() const;

    const std::string targetWildcards_[2] = {"all", "*"};
    std::string name_;
    std::string description_;
    bool executable_ = false;
    bool hasOutput_ = false;
    bool useConnectionManager_ = false;
    bool sendResultToServer_ = false;
    picojson::value orderJson_;
    std::string resultString_;
    std::string loggerId_;
    std::string plantId_;
    std::string serverUrl_;
    data::SettingData* setting_;
    conn::ConnectionManager* connectionManager_ = nullptr;
    zorcommon::Logger log_;
};

}  // namespace command
}  // namespace zorcee
