#pragma once

// The Memsense packet, built and checked as plain functions over bytes:
//
//   offset 0      sync 0xA5 0xA5
//   offset 2      message type
//   offset 3      payload length N
//   offset 4      N payload bytes
//   offset 4 + N  checksum A: sum modulo 256 of bytes 0 to 3 + N
//   offset 5 + N  checksum B: sum modulo 256 of A's running values
//
// An acknowledgement carries 0x80 at byte 4, the acknowledged request's byte
// 4 at byte 6 and 0 at byte 7. A data packet holds four groups of three
// big-endian 32-bit values at offsets 6, 20, 34 and 48, each group after two
// bytes of its own.

#include <array>
#include <cstddef>
#include <cstdint>

namespace Communication::Device::Memsense {

constexpr std::uint8_t kSync = 0xA5;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kChecksumSize = 2;
constexpr std::size_t kOverhead = kHeaderSize + kChecksumSize;
constexpr std::size_t kMaxPayload = 255;
constexpr std::size_t kMaxLength = kOverhead + kMaxPayload;
// Data to frame: message type, payload length placeholder, payload. The
// shortest has the two bytes that framing overwrites besides the type.
constexpr std::size_t kMinData = 4;
constexpr std::size_t kMaxData = kMaxPayload + 2;

constexpr std::size_t kAckMarkOffset = 4;
constexpr std::uint8_t kAckMark = 0x80;
constexpr std::size_t kAckIdOffset = 6;
constexpr std::size_t kAckStatusOffset = 7;
// The request byte an acknowledgement names.
constexpr std::size_t kRequestIdOffset = 4;

constexpr std::array<std::size_t, 4> kValueGroups{6, 20, 34, 48};
constexpr std::size_t kValuesPerGroup = 3;
constexpr std::size_t kValueGroupsEnd = kValueGroups.back() + 4 * kValuesPerGroup;
static_assert(kValueGroupsEnd == 60);

struct Checksums {
  std::uint8_t a;
  std::uint8_t b;
};

// Fletcher's 8-bit sums over `count` bytes.
constexpr Checksums Fletcher(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  for (std::size_t i = 0; i < count; ++i) {
    a = static_cast<std::uint8_t>(a + bytes[i]);
    b = static_cast<std::uint8_t>(b + a);
  }
  return {a, b};
}

// Frames `length` bytes of data into a packet: sync bytes, the data with the
// payload length at byte 3 and length - 4 at byte 5 (whatever the data held
// there), the checksums. The packet's length, or 0 when the data are shorter
// than kMinData or longer than kMaxData or the packet does not fit `capacity`.
std::size_t Build(const std::uint8_t* data, std::size_t length, std::uint8_t* packet, std::size_t capacity);

// Whether both checksums of a whole packet of `length` bytes match.
bool ChecksumsMatch(const std::uint8_t* packet, std::size_t length);

// Whether a whole packet acknowledges the request whose byte 4 was `requestId`.
bool IsAcknowledgement(const std::uint8_t* packet, std::size_t length, std::uint8_t requestId);

// Whether a packet of `length` bytes carries all four value groups in its payload.
constexpr bool HoldsValueGroups(std::size_t length) { return length >= kValueGroupsEnd + kChecksumSize; }

// Turns the value groups of a packet that holds them into little-endian order.
void SwapValueGroups(std::uint8_t* packet);

// The configuration series: data to frame, and the byte the acknowledgement
// must name (the packet's byte 4).
struct ConfigurationStep {
  std::array<std::uint8_t, 9> data;
  std::size_t length;
};

constexpr std::array<ConfigurationStep, 8> kConfiguration{{
    {{0x01, 0x02, 0x02, 0x00}, 4},
    {{0x01, 0x02, 0x05, 0x00}, 4},
    {{0x01, 0x02, 0x06, 0x00}, 4},
    {{0x01, 0x02, 0x07, 0x00}, 4},
    {{0x01, 0x02, 0x08, 0x00}, 4},
    {{0x02, 0x04, 0x04, 0x02, 0x02, 0x00}, 6},
    {{0x02, 0x07, 0x05, 0x05, 0x01, 0xA0, 0x81, 0x82, 0x83}, 9},
    {{0x02, 0x04, 0x05, 0x02, 0x02, 0x00}, 6},
}};

}  // namespace Communication::Device::Memsense
