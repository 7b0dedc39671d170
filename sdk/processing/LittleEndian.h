#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Little-endian fields of device frames, read byte by byte so that neither the
// host's byte order nor the field's alignment matters.
namespace Processing::LittleEndian {

inline std::uint16_t U16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::int16_t S16(const std::uint8_t* at) { return static_cast<std::int16_t>(U16(at)); }

inline std::uint32_t U32(const std::uint8_t* at) {
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

// Word n of a block of signed 16-bit words.
inline double Word(const std::uint8_t* words, std::size_t n) { return S16(words + 2 * n); }

}  // namespace Processing::LittleEndian
