// Fuzz target: the update request XML of an update order through getPkgListFromRecvData, and
// the response XML built from what it read. Checks the result codes and that the response is
// well-formed XML.
#include <picojson.h>
#include <tinyxml2.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "CmdInfoUpdate.h"
#include "FuzzUtil.h"

void fuzzutil::fuzzOne(const std::string& input) {
    static zorcee::command::CmdInfoUpdate cmd{picojson::value(picojson::object())};
    std::string requestId, commandId;
    std::vector<std::string> packages, cancelIds;
    int type = -1;  // also for a package element without text: the caller reports it so
    try {
        type = cmd.getPkgListFromRecvData(input, requestId, commandId, packages, cancelIds);
    } catch (const std::runtime_error&) {
    }
    check(type == 1 || cancelIds.empty(), "cancel ids read for an update that is not an emergency");
    for (const auto& entry : packages) {
        check(entry.find(' ') != std::string::npos,
              "package entry without the blank before its file name");
    }

    // Both forms of the response: with a run time and the found ids, or with the error text.
    const std::string response = cmd.makeResponseXml(
        requestId, commandId, input.size() % 2 == 0 ? 1700000000 : 0,
        "XML parsing error (err=" + std::to_string(type) + ") [st=0]", cancelIds);
    tinyxml2::XMLDocument doc;
    check(doc.Parse(response.c_str(), response.size()) == tinyxml2::XML_SUCCESS &&
              tinyxml2::XMLHandle(doc)
                  .FirstChildElement("commandRequest")
                  .FirstChildElement("requestData")
                  .ToElement(),
          "the response is not well-formed XML with commandRequest/requestData");
}
