#pragma once

#include <cstddef>
#include <cstdint>

#include "communication/qn/Frame.h"

namespace Communication::Device::QN {

// One entry of the USB CU hub's slot table, read (and, on a mutable byte
// range, written) in place:
//   0  period of the slot in microseconds, big-endian; 0 ends the table
//   2  bus address pair: [~a][a] for a sensor on the hub's bus (the header of
//      frames addressed to it); any other pair marks an internal slot
//   4  data format code, little-endian
//   6  not interpreted
//   7  block size of the slot's sensor in a data frame (bytes)
template <class Byte>
class BasicSlotEntry {
 public:
  static constexpr std::size_t kSize = 8;
  static constexpr std::size_t kPeriodOffset = 0;
  static constexpr std::size_t kAddressOffset = 2;
  static constexpr std::size_t kFormatOffset = 4;
  static constexpr std::size_t kBlockSizeOffset = 7;
  static_assert(kAddressOffset == kPeriodOffset + 2 && kFormatOffset == kAddressOffset + 2);
  static_assert(kBlockSizeOffset == kFormatOffset + 3 && kBlockSizeOffset + 1 == kSize);

  explicit BasicSlotEntry(Byte* bytes) : bytes_(bytes) {}

  std::uint16_t Period() const {
    return static_cast<std::uint16_t>(bytes_[kPeriodOffset] << 8 | bytes_[kPeriodOffset + 1]);
  }
  bool EndsTable() const { return Period() == 0; }
  bool OnBus() const { return bytes_[kAddressOffset] == static_cast<std::uint8_t>(~bytes_[kAddressOffset + 1]); }
  std::uint8_t BusAddress() const { return bytes_[kAddressOffset + 1]; }
  std::uint16_t FormatCode() const { return Frame::Word(bytes_ + kFormatOffset); }
  int BlockSize() const { return bytes_[kBlockSizeOffset]; }

  void SetPeriod(std::uint16_t microseconds) {
    bytes_[kPeriodOffset] = static_cast<std::uint8_t>(microseconds >> 8);
    bytes_[kPeriodOffset + 1] = static_cast<std::uint8_t>(microseconds & 0xFF);
  }
  void SetFormat(std::uint16_t code, int blockSize) {
    Frame::PutWord(bytes_ + kFormatOffset, code);
    bytes_[kBlockSizeOffset] = static_cast<std::uint8_t>(blockSize);
  }

 private:
  Byte* bytes_;
};

using SlotEntry = BasicSlotEntry<std::uint8_t>;
using ConstSlotEntry = BasicSlotEntry<const std::uint8_t>;

}  // namespace Communication::Device::QN
