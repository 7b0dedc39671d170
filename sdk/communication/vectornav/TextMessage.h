#pragma once

// VectorNav's text messages: "$", a header such as VNYMR, comma-separated
// fields, "*", the XOR of the characters between "$" and "*" as two
// hexadecimal digits, carriage return, line feed.

#include <optional>
#include <string_view>

#include "communication/vectornav/Record.h"

namespace Communication::Device::Vn::Text {

struct Message {
  std::string_view header;  // "VNYMR"
  std::string_view body;    // everything between "$" and "*"
  std::string_view fields;  // everything after the header's comma; empty without one
};

// The message's parts, or none when it is not of the form above or its
// checksum does not match.
std::optional<Message> Parse(std::string_view line);

// The error number of a "$VNERR" message; none for any other message, or one
// whose number is missing or no decimal number.
std::optional<int> ErrorNumber(const Message& message);

// Fills a zeroed record from a data output the SDK knows. False for any other
// message, or one whose fields run out or are no numbers.
bool Decode(const Message& message, Record& record);

}  // namespace Communication::Device::Vn::Text
