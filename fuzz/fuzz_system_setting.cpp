// Fuzz target: an arbitrary SystemSetting.xml read by the agent (logger identity and result
// server) and by the updater (storage battery maker code and serial number, and the battery
// status request built from them).
#include <picojson.h>
#include <tinyxml2.h>

#include <string>

#include "CmdInfoBase.h"
#include "FuzzUtil.h"
#include "updater/cee_upd.h"
#include "updater/data/SettingData.h"

using zorupd::data::SettingData;

void fuzzutil::fuzzOne(const std::string& input) {
    // The updater's settings name the file every input is written to; made once.
    static const std::string xmlPath = [] {
        const std::string xml = scratchDir() + "/SystemSetting.xml";
        SettingData::createInstance(
            writeScratchFile("cee_upd.conf", "{\"SYSTEM_SETTING_XML_FILE\": \"" + xml + "\"}"));
        return xml;
    }();
    check(SettingData::getInstance()->getStringValue("SYSTEM_SETTING_XML_FILE") == xmlPath,
          "the updater settings of the fuzz target were not taken");
    writeScratchFile("SystemSetting.xml", input);
    zorcee::command::CmdInfoBase order{picojson::value(picojson::object())};
    check(!order.loadFromSystemSettingXml(xmlPath) ||
              (order.getLoggerId() != "unknown" && order.getPlantId() != "unknown" &&
               !order.getServerUrl().empty()),
          "loading reported success without the logger identity");

    zorupd::cee_upd updater(nullptr);
    std::string maker, serial;
    const int info = updater.getStorageBatteryInfo(maker, serial);
    check(info == 0 || info == -1, "getStorageBatteryInfo outside 0 / -1");
    const std::string request = updater.createConnectionCheckXml();
    check(request.empty() == (info != 0), "battery request and battery information disagree");
    tinyxml2::XMLDocument doc;
    check(request.empty() || doc.Parse(request.c_str(), request.size()) == tinyxml2::XML_SUCCESS,
          "the battery request is not well-formed XML");
}
