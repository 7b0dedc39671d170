#pragma once

// Frames as a sensor would send them, built for the tests (the library itself
// never assembles a frame).

#include <cstdint>
#include <string>
#include <vector>

#include "StreamMessage.h"

namespace StreamFrames {

using Bytes = std::string;

inline void putWord(Bytes& bytes, std::uint16_t word) {
  bytes.push_back(static_cast<char>(word & 0xFF));
  bytes.push_back(static_cast<char>(word >> 8));
}

// A frame of the given type around the payload bytes (any length), with its
// word-sum checksum plus `checksumError`.
inline Bytes frame(std::uint16_t type, const Bytes& payload, std::uint16_t checksumError = 0) {
  Bytes bytes;
  const auto length = static_cast<std::uint16_t>(payload.size() + 8);
  putWord(bytes, Lumeth::Core::SensorLibrary::kSyncWord);
  putWord(bytes, length);
  putWord(bytes, type);
  bytes += payload;
  std::uint16_t sum = 0;
  for (std::size_t offset = 0; offset + 1 < bytes.size(); offset += 2)
    sum = static_cast<std::uint16_t>(sum + (static_cast<std::uint8_t>(bytes[offset]) |
                                            static_cast<std::uint8_t>(bytes[offset + 1]) << 8));
  putWord(bytes, static_cast<std::uint16_t>(sum + checksumError));
  return bytes;
}

inline Bytes words(const std::vector<std::uint16_t>& values) {
  Bytes bytes;
  for (const auto value : values) putWord(bytes, value);
  return bytes;
}

inline Bytes wordFrame(std::uint16_t type, const std::vector<std::uint16_t>& payload) {
  return frame(type, words(payload));
}

// Parses one whole frame the way the stream processor does, checksum unchecked.
inline Lumeth::Core::SensorLibrary::StreamMessage message(const Bytes& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::uint32_t header = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  return Lumeth::Core::SensorLibrary::messageFromBody(header, data + 4);
}

}  // namespace StreamFrames
