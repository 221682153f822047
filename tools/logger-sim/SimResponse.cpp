#include "SimResponse.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <tinyxml2.h>

namespace logger_sim {

namespace {

constexpr const char* kReadEchonet = "ReadFromEchonetDevice";
constexpr unsigned long kStorageBatteryClass = 0x7D;
constexpr unsigned long kOperationStatus = 0x80;

std::string trimmed(const char* text) {
    std::string s = text == nullptr ? "" : text;
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// "0x7D", "0x7d" and "7D" all name 0x7D.
bool hexEquals(const char* text, unsigned long expected) {
    const std::string s = trimmed(text);
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(s.c_str(), &end, 16);
    return errno == 0 && *end == '\0' && value == expected;
}

// The p parameters of an ECHONET Lite read, in the updater's order: x="1" the class,
// x="2" the maker code, x="3" the serial number, x="4" the property. Without x attributes
// the position counts.
bool isBatteryStatusRead(const tinyxml2::XMLElement* requestData) {
    if (requestData == nullptr) {
        return false;
    }
    std::vector<const tinyxml2::XMLElement*> byPosition;
    const tinyxml2::XMLElement* classParam = nullptr;
    const tinyxml2::XMLElement* propertyParam = nullptr;
    for (auto* p = requestData->FirstChildElement("p"); p != nullptr;
         p = p->NextSiblingElement("p")) {
        byPosition.push_back(p);
        const char* x = p->Attribute("x");
        if (x != nullptr && trimmed(x) == "1") {
            classParam = p;
        } else if (x != nullptr && trimmed(x) == "4") {
            propertyParam = p;
        }
    }
    if (classParam == nullptr && propertyParam == nullptr && byPosition.size() >= 4) {
        classParam = byPosition[0];
        propertyParam = byPosition[3];
    }
    return classParam != nullptr && propertyParam != nullptr &&
           hexEquals(classParam->GetText(), kStorageBatteryClass) &&
           hexEquals(propertyParam->GetText(), kOperationStatus);
}

std::string print(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

}  // namespace

bool parseBattery(const std::string& text, Battery& out) {
    if (text == "on") {
        out = Battery::On;
    } else if (text == "off") {
        out = Battery::Off;
    } else if (text == "silent") {
        out = Battery::Silent;
    } else {
        return false;
    }
    return true;
}

std::string buildResponse(const std::string& requestBody, Battery battery) {
    tinyxml2::XMLDocument request;
    const bool parsed =
        request.Parse(requestBody.data(), requestBody.size()) == tinyxml2::XML_SUCCESS;
    const tinyxml2::XMLElement* root = parsed ? request.RootElement() : nullptr;
    if (root != nullptr && std::strcmp(root->Name(), "commandRequest") != 0) {
        root = nullptr;
    }
    const tinyxml2::XMLElement* commandElem =
        root != nullptr ? root->FirstChildElement("command") : nullptr;
    const std::string command = commandElem != nullptr ? trimmed(commandElem->GetText()) : "";

    tinyxml2::XMLDocument answer;
    answer.InsertEndChild(answer.NewDeclaration());
    auto* response = answer.NewElement("commandResponse");
    answer.InsertEndChild(response);
    if (root != nullptr && root->Attribute("id") != nullptr) {
        response->SetAttribute("id", root->Attribute("id"));
    }
    auto* status = response->InsertNewChildElement("status");
    auto* data = response->InsertNewChildElement("responseData");

    if (root == nullptr || command.empty()) {
        status->SetText("INVALID_REQUEST");
        data->InsertNewChildElement("error")->SetText(
            root == nullptr ? "the request is not a commandRequest document"
                            : "the request names no command");
        return print(answer);
    }

    status->SetText("SUCCESS");
    data->InsertNewChildElement("command")->SetText(command.c_str());
    if (command == kReadEchonet && isBatteryStatusRead(root->FirstChildElement("requestData"))) {
        if (battery == Battery::Silent) {
            status->SetText("TIMEOUT");
        } else {
            auto* value = data->InsertNewChildElement("p");
            value->SetAttribute("epc", "0x80");
            value->SetText(battery == Battery::On ? "0x30" : "0x31");
        }
    }
    return print(answer);
}

std::string escapeLine(const std::string& body) {
    std::string line;
    line.reserve(body.size());
    for (const char c : body) {
        switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
        }
    }
    return line;
}

}  // namespace logger_sim
