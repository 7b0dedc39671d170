#pragma once

// The command frames the tool sends, stored whole and sent byte for byte: the
// tool never assembles a command at run time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "StreamMessage.h"

namespace Lumeth::Core::SensorLibrary {

struct StoredFrame {
  std::array<std::uint8_t, 16> bytes;  // the frame, then unused zeros
  std::size_t size;

  constexpr std::uint16_t word(std::size_t offset) const {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
  }
  constexpr std::uint16_t type() const { return word(4); }
  constexpr std::uint16_t checksum() const { return word(size - 2); }
  // The 16-bit sum of every word before the checksum.
  constexpr std::uint16_t wordSum() const {
    std::uint16_t sum = 0;
    for (std::size_t offset = 0; offset + 2 < size; offset += 2) sum = static_cast<std::uint16_t>(sum + word(offset));
    return sum;
  }
  std::string text() const { return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)); }
};

namespace Frames {

// Sent by the sensor stream.
inline constexpr StoredFrame kIdentify{{0xAA, 0x55, 0x08, 0x00, 0x00, 0x01, 0xB2, 0x56}, 8};
inline constexpr StoredFrame kStreamOn{{0xAA, 0x55, 0x0A, 0x00, 0x00, 0x04, 0xFF, 0xFF, 0xB3, 0x59}, 10};
// Carries its word sum: a sensor that checks checksums would ignore the frame
// otherwise and keep streaming.
inline constexpr StoredFrame kStreamOff{{0xAA, 0x55, 0x0A, 0x00, 0x00, 0x04, 0x00, 0x00, 0xB4, 0x59}, 10};
inline constexpr StoredFrame kReadFlash{{0xAA, 0x55, 0x08, 0x00, 0x00, 0x05, 0xB2, 0x5A}, 8};
// Data mode 1003 ("GetDataF"), answered by 0x0213 measurement frames.
inline constexpr StoredFrame kDataMode{{0xAA, 0x55, 0x0A, 0x00, 0x01, 0x04, 0xEB, 0x03, 0xA0, 0x5D}, 10};
// Period word 16665: 1e6 / (16665 + 1), about 60 Hz.
inline constexpr StoredFrame kDataPeriod{{0xAA, 0x55, 0x0A, 0x00, 0x02, 0x04, 0x19, 0x41, 0xCF, 0x9A}, 10};
// For OEM adapters only.
inline constexpr StoredFrame kRequest0800{{0xAA, 0x55, 0x08, 0x00, 0x00, 0x08, 0xB2, 0x5D}, 8};
inline constexpr StoredFrame kOemConfiguration{
    {0xAA, 0x55, 0x10, 0x00, 0x04, 0x04, 0x20, 0x7D, 0xFE, 0x01, 0x03, 0x02, 0x08, 0x1C, 0xE7, 0xF6}, 16};

// The rest of the command vocabulary, not sent.
inline constexpr StoredFrame kCommandFF00{{0xAA, 0x55, 0x08, 0x00, 0x00, 0xFF, 0xB2, 0x54}, 8};
inline constexpr StoredFrame kGetState{{0xAA, 0x55, 0x08, 0x00, 0x00, 0x03, 0xB2, 0x58}, 8};
inline constexpr StoredFrame kCommandFFFF{{0xAA, 0x55, 0x08, 0x00, 0xFF, 0xFF, 0xB1, 0x55}, 8};
inline constexpr StoredFrame kDataPeriod2000{{0xAA, 0x55, 0x0A, 0x00, 0x02, 0x04, 0xD0, 0x07, 0x86, 0x61}, 10};
inline constexpr StoredFrame kDataPeriod33332{{0xAA, 0x55, 0x0A, 0x00, 0x02, 0x04, 0x34, 0x82, 0xEA, 0xDB}, 10};
inline constexpr StoredFrame kDataPeriod62499{{0xAA, 0x55, 0x0A, 0x00, 0x02, 0x04, 0x23, 0xF4, 0xD9, 0x4D}, 10};
inline constexpr StoredFrame kCommand0408{{0xAA, 0x55, 0x0A, 0x00, 0x08, 0x04, 0x00, 0x00, 0xBC, 0x59}, 10};
inline constexpr StoredFrame kOemConfigurationB{
    {0xAA, 0x55, 0x10, 0x00, 0x04, 0x04, 0x20, 0x7D, 0xFE, 0x01, 0x01, 0x02, 0x08, 0x08, 0xE5, 0xE2}, 16};
inline constexpr StoredFrame kOemConfigurationC{
    {0xAA, 0x55, 0x10, 0x00, 0x04, 0x04, 0x41, 0x1A, 0x00, 0x10, 0x00, 0x02, 0x08, 0x14, 0x07, 0x9A}, 16};

inline constexpr std::array<StoredFrame, 17> kAll = {
    kIdentify,    kStreamOn,       kStreamOff,      kReadFlash,      kDataMode,    kDataPeriod,
    kRequest0800, kOemConfiguration, kCommandFF00,  kGetState,       kCommandFFFF, kDataPeriod2000,
    kDataPeriod33332, kDataPeriod62499, kCommand0408, kOemConfigurationB, kOemConfigurationC,
};

constexpr bool isWellFormed(const StoredFrame& frame) {
  return frame.size >= kMinimumFrameLength && frame.size <= frame.bytes.size() && frame.size % 2 == 0 &&
         frame.word(0) == kSyncWord && frame.word(2) == frame.size && frame.checksum() == frame.wordSum();
}

constexpr bool allWellFormed() {
  for (const auto& frame : kAll)
    if (!isWellFormed(frame)) return false;
  return true;
}
static_assert(allWellFormed(), "a stored frame has a wrong sync word, length or checksum");
static_assert(kStreamOff.checksum() == 0x59B4);
static_assert(kDataMode.word(6) == 1003 && kDataPeriod.word(6) == 16665);

}  // namespace Frames

}  // namespace Lumeth::Core::SensorLibrary
