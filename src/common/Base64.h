// Base64 codec (standard alphabet) for the payloads of server orders and answers.
#pragma once

#include <cstddef>
#include <string>

namespace zorcommon {

// Padded Base64 of `length` bytes.
std::string encodeBase64(const unsigned char* bytes, size_t length);

// Lenient decoding: reads Base64 characters from the start, skipping CR and LF, and stops at
// the first "=", at any other character or at the end. Complete groups give three bytes, a
// final group of two or three characters one or two bytes, a single leftover nothing. Never
// fails; returns what it decoded (any byte values).
std::string decodeBase64(const std::string& text);

}  // namespace zorcommon
