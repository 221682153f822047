// Fuzz target: the update request XML of an update order through getPkgListFromRecvData, and
// the response XML built from what it read. Checks the result codes and that the response is
// well-formed XML.
#include <picojson.h>
#include <tinyxml2.h>

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "CmdInfoUpdate.h"
#include "FuzzUtil.h"

void fuzzutil::fuzzOne(const std::string& input) {
    static zorcee::command::CmdInfoUpdate cmd{picojson::value(picojson::object())};
    std::string requestId;
    std::string commandId;
    std::vector<std::string> packages;
    std::vector<std::string> cancelIds;
    int type;
    try {
        type = cmd.getPkgListFromRecvData(input, requestId, commandId, packages, cancelIds);
    } catch (const std::runtime_error&) {
        type = -1;  // a package element without text; the caller reports it the same way
    }
    check(type == 1 || cancelIds.empty(), "cancel ids read for an update that is not an emergency");
    for (const auto& entry : packages) {
        check(entry.find(' ') != std::string::npos,
              "package entry without the blank before its file name");
    }

    // Both forms of the response: with a run time and the found ids, or with the error text.
    const std::time_t runTime = (input.size() % 2 == 0) ? 1700000000 : 0;
    const std::string response = cmd.makeResponseXml(
        requestId, commandId, runTime,
        "XML parsing error (err=" + std::to_string(type) + ") [st=0]", cancelIds);
    tinyxml2::XMLDocument doc;
    check(doc.Parse(response.c_str(), response.size()) == tinyxml2::XML_SUCCESS,
          "the response is not well-formed XML");
    const tinyxml2::XMLElement* root = doc.FirstChildElement("commandRequest");
    check(root != nullptr && root->FirstChildElement("requestData") != nullptr,
          "the response lacks commandRequest/requestData");
}
