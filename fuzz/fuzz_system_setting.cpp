// Fuzz target: an arbitrary SystemSetting.xml read by the agent (logger identity and result
// server) and by the updater (storage battery maker code and serial number, and the battery
// status request built from them).
#include <picojson.h>
#include <tinyxml2.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "CmdInfoBase.h"
#include "FuzzUtil.h"
#include "updater/cee_upd.h"
#include "updater/data/SettingData.h"

using fuzzutil::fail;

namespace {
std::string xmlPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzutil::registerSilentLoggers();
    xmlPath = fuzzutil::scratchDir() + "/SystemSetting.xml";
    const std::string conf = fuzzutil::writeScratchFile(
        "cee_upd.conf", "{\"SYSTEM_SETTING_XML_FILE\": \"" + xmlPath + "\"}");
    zorupd::data::SettingData::createInstance(conf);
    if (zorupd::data::SettingData::getInstance()->getStringValue("SYSTEM_SETTING_XML_FILE") !=
        xmlPath) {
        fail("the updater settings of the fuzz target were not taken");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzutil::writeScratchFile("SystemSetting.xml", data, size);

    zorcee::command::CmdInfoBase order{picojson::value(picojson::object())};
    if (order.loadFromSystemSettingXml(xmlPath)) {
        if (order.getLoggerId() == "unknown" || order.getPlantId() == "unknown" ||
            order.getServerUrl().empty()) {
            fail("loading reported success without the logger identity");
        }
    }

    zorupd::cee_upd updater(nullptr);
    std::string maker;
    std::string serial;
    const int info = updater.getStorageBatteryInfo(maker, serial);
    if (info != 0 && info != -1) {
        fail("getStorageBatteryInfo outside 0 / -1");
    }
    const std::string request = updater.createConnectionCheckXml();
    if (request.empty() != (info != 0)) {
        fail("battery request and battery information disagree");
    }
    if (!request.empty()) {
        tinyxml2::XMLDocument doc;
        if (doc.Parse(request.c_str(), request.size()) != tinyxml2::XML_SUCCESS) {
            fail("the battery request is not well-formed XML");
        }
    }
    return 0;
}
