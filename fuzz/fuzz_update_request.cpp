// Fuzz target: the update request XML of an update order through getPkgListFromRecvData, and
// the response XML built from what it read. Checks the result codes and that the response is
// well-formed XML.
#include <picojson.h>
#include <tinyxml2.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "CmdInfoUpdate.h"
#include "FuzzUtil.h"

using fuzzutil::fail;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzutil::registerSilentLoggers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zorcee::command::CmdInfoUpdate cmd{picojson::value(picojson::object())};
    const std::string xml(reinterpret_cast<const char*>(data), size);

    std::string requestId;
    std::string commandId;
    std::vector<std::string> packages;
    std::vector<std::string> cancelIds;
    int type;
    try {
        type = cmd.getPkgListFromRecvData(xml, requestId, commandId, packages, cancelIds);
    } catch (const std::runtime_error&) {
        type = -1;  // a package element without text; the caller reports it the same way
    }
    if (type != 1 && !cancelIds.empty()) {
        fail("cancel ids read for an update that is not an emergency");
    }
    for (const auto& entry : packages) {
        if (entry.find(' ') == std::string::npos) {
            fail("package entry without the blank before its file name");
        }
    }

    // Both forms of the response: with a run time and the found ids, or with the error text.
    const std::time_t runTime = (size % 2 == 0) ? 1700000000 : 0;
    const std::string response = cmd.makeResponseXml(
        requestId, commandId, runTime,
        "XML parsing error (err=" + std::to_string(type) + ") [st=0]", cancelIds);
    tinyxml2::XMLDocument doc;
    if (doc.Parse(response.c_str(), response.size()) != tinyxml2::XML_SUCCESS) {
        fail("the response is not well-formed XML");
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("commandRequest");
    if (root == nullptr || root->FirstChildElement("requestData") == nullptr) {
        fail("the response lacks commandRequest/requestData");
    }
    return 0;
}
