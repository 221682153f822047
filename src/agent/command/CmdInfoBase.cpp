#include "CmdInfoBase.h"

#include <tinyxml2.h>

#include <ctime>
#include <stdexcept>
#include <utility>

#include "Base64.h"
#include "FileUtil.h"
#include "SettingData.h"
#include "StringUtil.h"

namespace zorcee {
namespace command {

namespace {
const char* boolText(bool b) {
    return b ? "true" : "false";
}
}  // namespace

CmdInfoBase::CmdInfoBase(picojson::value order)
    : CmdInfoBase(std::move(order), "base", "base class.") {
    ZLOG_I(log_, "[{}:{}] in CmdInfoBase");
}

CmdInfoBase::CmdInfoBase(picojson::value order, const std::string& name,
                         const std::string& description)
    : orderJson_(std::move(order)),
      setting_(data::SettingData::getInstance()),
      log_(spdlog::get("cee")) {
    name_ = name;
    description_ = description;
}

void CmdInfoBase::setCommandInfo(const std::string& name, const std::string& description) {
    name_ = name;
    description_ = description;
}

bool CmdInfoBase::isOrderEmpty() const {
    return !orderJson_.is<picojson::object>() || orderJson_.get<picojson::object>().empty();
}

bool CmdInfoBase::isExecTarget(const std::string& platform, const std::string& group,
                               const std::string& substrateCode) {
    ZLOG_I(log_, "[{}:{}] in isExecTarget");
    ZLOG_I(log_, "[{}:{}]     platform -> {}, group -> {}, substrate_code ->{}", platform, group,
           substrateCode);
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in choisExecTargetiseDataValue : empty!");
        return false;
    }
    bool platformHit = false;
    bool groupHit = false;
    bool terminalHit = false;
    bool analyzed = true;
    try {
        const auto& order = orderJson_.get("order").get<picojson::object>();
        const auto target = order.find("target");
        if (target != order.end()) {
            const auto& members = target->second.get<picojson::object>();
            if (members.empty()) {
                return false;
            }
            const auto platformIt = members.find("platform");
            if (platformIt != members.end()) {
                ZLOG_D(log_, "[{}:{}] in isExecTarget PLATFORM target -> {} : json -> {}", platform,
                       platformIt->second.to_str());
                platformHit = hasTargetInArray(platformIt->second, platform, true);
            } else {
                ZLOG_W(log_, "[{}:{}] in isExecTarget [order.target.platform] not found");
            }
            const auto groupIt = members.find("group");
            if (groupIt != members.end()) {
                ZLOG_D(log_, "[{}:{}] in isExecTarget GROUP target -> {} : json -> {}", group,
                       groupIt->second.to_str());
                groupHit = hasTargetInArray(groupIt->second, group, true);
            } else {
                ZLOG_W(log_, "[{}:{}] in isExecTarget [order.target.group] not found");
            }
            const auto terminalIt = members.find("terminal");
            if (terminalIt != members.end()) {
                ZLOG_D(log_, "[{}:{}] in isExecTarget SUBSTRATE CODE target -> {} : json -> {}",
                       substrateCode, terminalIt->second.to_str());
                terminalHit = hasTargetInArray(terminalIt->second, substrateCode, true);
            } else {
                ZLOG_W(log_, "[{}:{}] in isExecTarget [order.target.terminal] not found");
            }
        }
    } catch (const std::exception&) {
        ZLOG_E(log_, "[{}:{}] in isExecTarget : Error in parsing JSON");
        analyzed = false;
    }
    ZLOG_I(log_,
           "[{}:{}] in isExecTarget : result : platform -> {} : group -> {} : terminal -> {} : "
           "analyze json -> {}",
           boolText(platformHit), boolText(groupHit), boolText(terminalHit), boolText(analyzed));
    return platformHit && groupHit && terminalHit && analyzed;
}

bool CmdInfoBase::hasTargetInArray(const picojson::value& array, const std::string& value,
                                   bool wildcardAllowed) {
    ZLOG_I(log_, "[{}:{}] in hasTargetInArray search -> {}", value);
    const auto& elements = array.get<picojson::array>();
    if (elements.empty()) {
        return false;
    }
    bool found = false;
    for (const auto& element : elements) {
        if (!element.is<std::string>()) {
            throw std::runtime_error("target array element is not a string");
        }
        const auto& text = element.get<std::string>();
        if (text == value ||
            (wildcardAllowed && (text == targetWildcards_[0] || text == targetWildcards_[1]))) {
            found = true;
            break;
        }
    }
    ZLOG_I(log_, "[{}:{}] in hasTargetInArray : search result -> {} is {}find", value,
           found ? "" : "not ");
    return found;
}

std::string CmdInfoBase::choiseDataValue() {
    ZLOG_I(log_, "[{}:{}] in choiseDataValue");
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in choiseDataValue : empty!");
        return "";
    }
    std::string result;
    const picojson::value& data = orderJson_.get<picojson::object>()["data"];
    if (data.is<picojson::object>()) {
        const auto& members = data.get<picojson::object>();
        const auto value = members.find("value");
        if (value != members.end() && value->second.is<std::string>()) {
            const auto& text = value->second.get<std::string>();
            result = zorcommon::decodeBase64(text);
            ZLOG_D(log_, "[{}:{}] in choiseDataValue : data found base64 -> {} : decode -> {}",
                   text, result);
        }
    } else {
        ZLOG_E(log_, "[{}:{}] in choiseDataValue : Error in parsing JSON");
    }
    ZLOG_I(log_, "[{}:{}] in choiseDataValue : [data.value] -> {}", result);
    return result;
}

std::string CmdInfoBase::choiseTimestamp() {
    ZLOG_I(log_, "[{}:{}] in choiseTimestamp");
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in choiseTimestamp : empty!");
        return "";
    }
    std::string result;
    const picojson::value& timestamp = orderJson_.get<picojson::object>()["timestamp"];
    if (timestamp.is<std::string>()) {
        result = timestamp.get<std::string>();
    }
    ZLOG_I(log_, "[{}:{}] in choiseTimestamp : [timestamp] -> {}", result);
    return result;
}

bool CmdInfoBase::reWriteData4Return(int resultIndex, std::string newValue) {
    ZLOG_I(log_, "[{}:{}] in reWriteData4Return");
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in reWriteData4Return : empty!");
        return false;
    }
    picojson::value& data = orderJson_.get<picojson::object>()["data"];
    if (!data.is<picojson::object>()) {
        ZLOG_E(log_, "[{}:{}] in reWriteData4Return : Error in parsing JSON");
        return false;
    }
    auto& members = data.get<picojson::object>();
    const auto value = members.find("value");
    if (value == members.end() || !value->second.is<std::string>()) {
        return false;
    }
    const char* word = resultIndex == 0 ? "success" : "failed";
    ZLOG_I(log_, "[{}:{}] in reWriteData4Return : return data.value -> {}", newValue);
    ZLOG_I(log_, "[{}:{}] in reWriteData4Return : return data.result -> {}", word);
    value->second = picojson::value(std::move(newValue));
    // Set on every path: a result the order brought along must not speak for the agent.
    members["result"] = picojson::value(std::string(word));
    return true;
}

bool CmdInfoBase::eraseTarget() {
    ZLOG_I(log_, "[{}:{}] in eraseTarget");
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in eraseTarget : empty!");
        return false;
    }
    picojson::value& order = orderJson_.get<picojson::object>()["order"];
    if (!order.is<picojson::object>()) {
        ZLOG_E(log_, "[{}:{}] in eraseTarget : Error in parsing JSON");
        return false;
    }
    auto& orderMembers = order.get<picojson::object>();
    const auto target = orderMembers.find("target");
    if (target == orderMembers.end() || !target->second.is<picojson::object>()) {
        return false;
    }
    ZLOG_I(log_, "[{}:{}] in eraseTarget : return order.target set to no data");
    auto& targetMembers = target->second.get<picojson::object>();
    targetMembers.erase("platform");
    targetMembers.erase("group");
    targetMembers.erase("terminal");
    return true;
}

bool CmdInfoBase::reWriteTimestamp() {
    ZLOG_I(log_, "[{}:{}] in reWriteTimestamp");
    if (isOrderEmpty()) {
        ZLOG_E(log_, "[{}:{}] in reWriteTimestamp : empty!");
        return false;
    }
    picojson::value& timestamp = orderJson_.get<picojson::object>()["timestamp"];
    if (!timestamp.is<std::string>()) {
        return false;
    }
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char buffer[42] = {};
    if (gmtime_r(&now, &utc) == nullptr ||
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &utc) == 0) {
        ZLOG_E(log_, "[{}:{}] in reWriteTimestamp : Error in parsing JSON");
        return false;
    }
    ZLOG_I(log_, "[{}:{}] in reWriteTimestamp : utc time -> {}", buffer);
    timestamp = picojson::value(std::string(buffer));
    return true;
}

bool CmdInfoBase::loadFromSystemSettingXml(const std::string& path) {
    ZLOG_I(log_, "[{}:{}] in loadFromSystemSettingXml");
    loggerId_ = "unknown";
    plantId_ = "unknown";
    serverUrl_.clear();

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    // A missing, broken, oversized or irregular file (a FIFO would block) shows as a missing
    // element below.
    std::string xml;
    if (zorcommon::readBoundedFile(path, zorcommon::kMaxXmlFileBytes, false, xml) ==
        zorcommon::ReadFileResult::Ok) {
        doc.Parse(xml.data(), xml.size());
    }
    const tinyxml2::XMLElement* logger = doc.FirstChildElement("logger");
    if (logger == nullptr) {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : load error : not found element {}",
               "logger");
        return false;
    }
    if (const char* id = logger->Attribute("loggerId")) {
        loggerId_ = id;
    } else {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : not found attribute ({})", "loggerId");
    }
    if (const char* id = logger->Attribute("plantId")) {
        plantId_ = id;
    } else {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : not found attribute ({})", "plantId");
    }
    const tinyxml2::XMLElement* general = logger->FirstChildElement("general");
    if (general == nullptr) {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : not found element ({})", "general");
    } else if (const tinyxml2::XMLElement* url = general->FirstChildElement("serverUrl")) {
        const char* text = url->GetText();
        if (text == nullptr) {
            // An element without text cannot be read: the whole reading counts as broken.
            ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : analize error");
            loggerId_ = "unknown";
            plantId_ = "unknown";
            serverUrl_.clear();
            return false;
        }
        serverUrl_ = text;
    } else {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : not found element ({})", "serverUrl");
    }
    if (loggerId_ == "unknown" || plantId_ == "unknown" || serverUrl_.empty()) {
        ZLOG_W(log_, "[{}:{}] in loadFromSystemSettingXml : analize failed");
        return false;
    }
    return true;
}

std::string CmdInfoBase::encodeDataValue(const std::string& text) const {
    if (text.empty()) {
        return "";
    }
    return zorcommon::encodeBase64(reinterpret_cast<const unsigned char*>(text.data()),
                                   text.size());
}

int CmdInfoBase::execCommand() {
    ZLOG_I(log_, "[{}:{}] in execCommand");
    reWriteTimestamp();
    return 0;
}

std::string CmdInfoBase::getOutputData() {
    ZLOG_I(log_, "[{}:{}] in getOutputData");
    // The parser takes the bytes of a string as they come: an order with invalid UTF-8 would
    // give an answer that is no valid JSON text for the server.
    return zorcommon::toValidUtf8(orderJson_.serialize());
}

}  // namespace command
}  // namespace zorcee
