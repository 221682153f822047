// Base64 codec (standard alphabet) for the payloads of server orders and answers.
#pragma once

#include <cstddef>
#include <string>

namespace zorcommon {

// Padded Base64 of `length` bytes. Both directions take memory in proportion to their input
// (4/3 and 3/4 of it) and never recurse; inputs from outside are bounded before they get here
// (answers by MAX_ANSWER_BYTES, orders by the size of an MQTT message). Throws
// std::length_error only for a length whose encoding cannot be represented.
std::string encodeBase64(const unsigned char* bytes, size_t length);

// Lenient decoding: reads Base64 characters from the start, skipping CR and LF, and stops at
// the first "=", at any other character or at the end. Complete groups give three bytes, a
// final group of two or three characters one or two bytes, a single leftover nothing. Never
// fails; returns what it decoded (any byte values).
std::string decodeBase64(const std::string& text);

}  // namespace zorcommon
