// Answers of the logger application stand-in: the commandResponse documents it sends back and
// the one-line form in which it prints a request.
#pragma once

#include <string>

namespace logger_sim {

// How the storage battery answers a read of its operation status.
enum class Battery { On, Off, Silent };

// "on", "off" or "silent"; false for anything else (out unchanged).
bool parseBattery(const std::string& text, Battery& out);

// The commandResponse for one request body (the full document, declaration included).
std::string buildResponse(const std::string& requestBody, Battery battery);

// The body on one line: backslash -> \\, line feed -> \n, carriage return -> \r.
std::string escapeLine(const std::string& body);

}  // namespace logger_sim
