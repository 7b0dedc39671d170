#pragma once

// VectorNav's binary output packet as the SDK decodes it:
//
//   offset 0   sync byte 0xFA
//   offset 1   group byte: bit g - 1 set for each group g present
//              (1 Common, 2 Time, 3 IMU, 4 GPS, 5 Attitude, 6 INS)
//   offset 2   one 16-bit little-endian field mask per group present, in group order
//   then       the fields of each group in group order, within a group in
//              ascending bit order, little-endian
//   last 2     CRC-16 (see Crc16) over everything after the sync byte

#include <cstddef>
#include <cstdint>

#include "communication/vectornav/Record.h"

namespace Communication::Device::Vn::Binary {

constexpr std::uint8_t kSync = 0xFA;
constexpr std::size_t kGroups = 6;
constexpr std::uint8_t kKnownGroups = (1u << kGroups) - 1;
constexpr std::size_t kFieldsPerGroup = 16;
constexpr std::size_t kCrcSize = 2;
// Longer packets are not taken.
constexpr std::size_t kMaxLength = 256;

// Bytes up to the payload for this group byte.
constexpr std::size_t HeaderLength(std::uint8_t groups) {
  std::size_t length = 2;
  for (std::size_t g = 0; g < 8; ++g)
    if (groups & (1u << g)) length += 2;
  return length;
}

// Size in bytes of a field (group index 0 = Common); 0 for a field whose size
// is not known, which no packet that carries it can be measured by.
std::size_t FieldSize(std::size_t group, std::size_t bit);

// Whether a group byte names only groups whose field sizes are known.
constexpr bool KnownGroups(std::uint8_t groups) { return (groups & ~kKnownGroups) == 0; }

// The whole packet's length from its header (sync byte to the last field
// mask, which must be present); the groups must be known.
std::size_t TotalLength(const std::uint8_t* header);

// Fills a zeroed record from a whole packet whose CRC has been checked. False,
// with nothing to deliver, for a packet whose length does not match its
// header, or that carries a field the record does not hold (the IMU status
// word is the one field passed over), since its fields could not be placed.
bool Decode(const std::uint8_t* packet, std::size_t length, Record& record);

}  // namespace Communication::Device::Vn::Binary
