#include "communication/memsense/Packet.h"

#include <algorithm>
#include <utility>

namespace Communication::Device::Memsense {

std::size_t Build(const std::uint8_t* data, std::size_t length, std::uint8_t* packet, std::size_t capacity) {
  const std::size_t total = length + kOverhead - 2;
  if (length < kMinData || length > kMaxData || total > capacity) return 0;
  packet[0] = kSync;
  packet[1] = kSync;
  std::copy_n(data, length, packet + 2);
  packet[3] = static_cast<std::uint8_t>(length - 2);
  packet[5] = static_cast<std::uint8_t>(length - 4);
  const auto sums = Fletcher(packet, length + 2);
  packet[length + 2] = sums.a;
  packet[length + 3] = sums.b;
  return total;
}

bool ChecksumsMatch(const std::uint8_t* packet, std::size_t length) {
  if (length < kOverhead) return false;
  const auto sums = Fletcher(packet, length - kChecksumSize);
  return sums.a == packet[length - 2] && sums.b == packet[length - 1];
}

bool IsAcknowledgement(const std::uint8_t* packet, std::size_t length, std::uint8_t requestId) {
  return length > kAckStatusOffset && packet[kAckMarkOffset] == kAckMark && packet[kAckIdOffset] == requestId &&
         packet[kAckStatusOffset] == 0;
}

void SwapValueGroups(std::uint8_t* packet) {
  for (const std::size_t group : kValueGroups) {
    for (std::size_t value = 0; value < kValuesPerGroup; ++value) {
      std::uint8_t* bytes = packet + group + 4 * value;
      std::swap(bytes[0], bytes[3]);
      std::swap(bytes[1], bytes[2]);
    }
  }
}

}  // namespace Communication::Device::Memsense
