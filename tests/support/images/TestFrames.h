#pragma once

#include <cstdint>
#include <cstring>
#include <vector>


// Bytes built and read by hand, independent of the SDK's own readers and of the
// output frame's struct, so that a wrong layout shows.
namespace TestFrames {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  bytes.at(at) = static_cast<std::uint8_t>(value);
  bytes.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
}

inline void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

inline void PutFloat(Bytes& bytes, std::size_t at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  Put32(bytes, at, bits);
}

inline void PutWords(Bytes& bytes, std::size_t at, const std::vector<std::int16_t>& words) {
  for (const auto word : words) {
    Put16(bytes, at, static_cast<std::uint16_t>(word));
    at += 2;
  }
}

// A hub data frame: AA 55, total length, command word, counter, raw hub word,
// mask, blockBytes of sensor blocks from byte 14 (zero until written), checksum.
// Call Seal after writing the blocks.
inline Bytes DataFrame(std::uint16_t counter, std::uint16_t rawWord, std::uint32_t mask, std::size_t blockBytes) {
  Bytes frame(14 + blockBytes + 2, 0);
  frame[0] = 0xAA;
  frame[1] = 0x55;
  Put16(frame, 2, static_cast<std::uint16_t>(frame.size()));
  Put16(frame, 4, 0x0201);
  Put16(frame, 6, counter);
  Put16(frame, 8, rawWord);
  Put32(frame, 10, mask);
  return frame;
}

inline void Seal(Bytes& frame) {
  std::uint16_t sum = 0;
  for (std::size_t at = 0; at + 2 < frame.size(); at += 2)
    sum = static_cast<std::uint16_t>(sum + (frame[at] | (frame[at + 1] << 8)));
  Put16(frame, frame.size() - 2, sum);
}

inline const std::uint8_t* BytesOf(const void* object) { return static_cast<const std::uint8_t*>(object); }

inline double DoubleAt(const void* base, std::size_t at) {
  double value;
  std::memcpy(&value, BytesOf(base) + at, sizeof value);
  return value;
}

inline std::uint16_t U16At(const void* base, std::size_t at) {
  return static_cast<std::uint16_t>(BytesOf(base)[at] | (BytesOf(base)[at + 1] << 8));
}

inline std::uint32_t U32At(const void* base, std::size_t at) {
  return U16At(base, at) | (static_cast<std::uint32_t>(U16At(base, at + 2)) << 16);
}

// Byte offset of position k's record in the output frame.
constexpr std::size_t Record(std::size_t k) { return 16 + 512 * k; }

inline bool AllZero(const void* base, std::size_t from, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    if (BytesOf(base)[from + i] != 0) return false;
  return true;
}

}  // namespace TestFrames
