// Base of the forwarding commands: the order carries a complete XML request for the logger
// application, Base64-encoded in data.value. execCommand records the order, posts the request
// unchanged to the local HTTP interface, records the answer and turns the order into the
// answer JSON. The agent neither builds nor reads the XML.
//
// Precondition of execCommand: the connection manager is set. Runs on the order thread.
#pragma once

#include <string>

#include "CmdInfoBase.h"

namespace zorcee {
namespace command {

// Identity of one forwarding command.
struct XmlCmdSpec {
    const char* name;         // order name, also stored in command_info.command_json
    const char* description;  // human-readable label
    const char* className;    // label printed after "in" in the command's log lines
    const char* unit;         // source unit printed in the constructor line
    bool executeForm;         // constructor line "in X execute true" instead of "executable"
};

class CmdInfoBaseXmlCmd : public CmdInfoBase {
  public:
    CmdInfoBaseXmlCmd(picojson::value order, const std::string& name,
                      const std::string& description, const std::string& className);

    // 0 when the POST succeeded, else the connection manager's status.
    int execCommand() override;

    const std::string& getClassName() const { return className_; }

  protected:
    // For the catalogue's classes: sets the forwarding flags and writes the constructor line.
    CmdInfoBaseXmlCmd(picojson::value order, const XmlCmdSpec& spec);

  private:
    std::string className_;
};

}  // namespace command
}  // namespace zorcee
