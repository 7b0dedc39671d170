#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Little-endian fields of hub frames, outside sensors' packets and flash
// images, read and written byte by byte so that neither the host's byte order
// nor the field's alignment matters.
namespace LittleEndian {

constexpr std::uint16_t U16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

constexpr std::int16_t S16(const std::uint8_t* at) { return static_cast<std::int16_t>(U16(at)); }

constexpr std::uint32_t U32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline float F32(const std::uint8_t* at) {
  const std::uint32_t bits = U32(at);
  float value;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

constexpr void PutU16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFF);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void PutU32(std::uint8_t* at, std::uint32_t value) {
  PutU16(at, static_cast<std::uint16_t>(value & 0xFFFF));
  PutU16(at + 2, static_cast<std::uint16_t>(value >> 16));
}

// Word n of a block of signed 16-bit words.
constexpr double Word(const std::uint8_t* words, std::size_t n) { return S16(words + 2 * n); }

}  // namespace LittleEndian
