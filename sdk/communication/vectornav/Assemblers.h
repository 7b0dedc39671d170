#pragma once

// Split the byte stream of a VectorNav sensor into text messages and binary
// packets. Every byte goes to both assemblers: the sensor may interleave the
// two kinds, and each assembler ignores what is not its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "communication/vectornav/BinaryPacket.h"

namespace Communication::Device::Vn {

// Text: "$" opens a message (dropping any open one), a line feed right after a
// carriage return closes it. A message that reaches kMaxLength bytes unclosed
// is dropped.
class TextAssembler {
 public:
  static constexpr std::size_t kMaxLength = 256;

  // True when this byte closed a message, which Message() then holds, "$" to line feed.
  bool Push(std::uint8_t byte);
  std::string_view Message() const { return {buffer_.data(), length_}; }

 private:
  std::array<char, kMaxLength> buffer_{};
  std::size_t length_ = 0;
  bool open_ = false;
};

// Binary: the sync byte opens a packet outside one; the header gives its
// length. A packet longer than Binary::kMaxLength, or naming groups whose
// field sizes are unknown, is dropped as soon as that shows. Bytes taken into
// a packet are never looked at as a new sync byte.
class BinaryAssembler {
 public:
  // True when this byte completed a packet whose CRC checks, which Packet()
  // then holds; a packet that fails its CRC is dropped.
  bool Push(std::uint8_t byte);
  const std::uint8_t* Packet() const { return buffer_.data(); }
  std::size_t Length() const { return complete_; }

 private:
  std::array<std::uint8_t, Binary::kMaxLength> buffer_{};
  std::size_t length_ = 0;  // 0: outside a packet
  std::size_t total_ = 0;   // 0: header not yet complete
  std::size_t complete_ = 0;
};

}  // namespace Communication::Device::Vn
