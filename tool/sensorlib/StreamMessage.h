#pragma once

// The frames the tool exchanges with a sensor: a sync word, the total length,
// the message type, a payload of little-endian 16-bit words and a checksum
// that is the 16-bit sum of every word before it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Lumeth::Core::SensorLibrary {

constexpr std::uint16_t kSyncWord = 0x55AA;          // bytes AA 55 on the wire
constexpr std::size_t kHeaderSize = 4;               // sync word and length
constexpr std::size_t kMinimumFrameLength = 8;       // header, type, checksum
constexpr std::size_t kMaximumFrameLength = 2064;    // a 2,048-byte flash block and its framing

// Message types the sensor answers with.
constexpr std::uint16_t kTypeIdentity = 0x0110;
constexpr std::uint16_t kTypeMeasurementWithError = 0x0210;
constexpr std::uint16_t kTypeQuaternion = 0x0211;
constexpr std::uint16_t kTypeMeasurement = 0x0213;
constexpr std::uint16_t kTypeStatus = 0x0310;
constexpr std::uint16_t kTypeFlashBlock = 0x0510;

// One received frame whose length was acceptable.
struct StreamMessage {
  std::uint32_t header = 0;  // sync word in the low half, total length in the high half
  std::uint16_t type = 0;
  std::vector<std::uint16_t> payload;
  std::uint16_t checksum = 0;
};

constexpr std::uint16_t headerSync(std::uint32_t header) { return static_cast<std::uint16_t>(header & 0xFFFF); }
constexpr std::uint16_t headerLength(std::uint32_t header) { return static_cast<std::uint16_t>(header >> 16); }
constexpr bool isAcceptedFrameLength(std::size_t length) {
  return length >= kMinimumFrameLength && length <= kMaximumFrameLength;
}

// Builds the message from its header word and the frame's remaining
// headerLength(header) - 4 bytes (type, payload, checksum). An odd length
// leaves its spare byte out of the payload; the checksum is always the last
// two bytes.
StreamMessage messageFromBody(std::uint32_t header, const std::uint8_t* body);

// Whether the received checksum is the word sum of sync word, length, type and payload.
bool checksumMatches(const StreamMessage& message);

// Printable names of the message types (for error messages) and of the data
// modes that the 0x0401 command selects.
const std::map<std::uint16_t, std::string>& messageTypeNames();
const std::map<std::uint16_t, std::string>& dataModeNames();
// The type's name, or its number in hex for a type without one.
std::string messageTypeName(std::uint16_t type);

}  // namespace Lumeth::Core::SensorLibrary
