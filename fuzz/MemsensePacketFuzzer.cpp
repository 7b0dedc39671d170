// Arbitrary bytes on the line of a Memsense sensor: the packet receiver must
// neither crash nor hand on anything but whole packets with matching
// checksums that fit the buffer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <boost/log/core/core.hpp>

#include "ByteSource.h"
#include "communication/memsense/Memsens.h"
#include "communication/memsense/Packet.h"

namespace {

namespace Memsense = Communication::Device::Memsense;
using Bytes = std::vector<std::uint8_t>;

void CheckPacket(const std::uint8_t* packet, int length, int capacity) {
  if (length == 0) return;
  const auto size = static_cast<std::size_t>(length);
  if (length > capacity || size < Memsense::kOverhead || size > Memsense::kMaxLength) std::abort();
  if (packet[0] != Memsense::kSync || packet[1] != Memsense::kSync || packet[3] + Memsense::kOverhead != size)
    std::abort();
  if (!Memsense::ChecksumsMatch(packet, size)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  boost::log::core::get()->set_logging_enabled(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks a receive buffer, small ones included.
  const int capacity = data[0] & 1 ? static_cast<int>(Communication::Device::CMemsens::kBufferSize) : 4 + (data[0] >> 1);
  const Bytes line(data + 1, data + size);

  const auto source = std::make_shared<ByteSource>();
  const auto sensor = std::make_shared<Communication::Device::CMemsens>();
  sensor->SetTransport(source);
  // Exactly the capacity, so that a write past it shows.
  const auto buffer = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(capacity));

  // Packet after packet, as the stream loop and a request waiting for its
  // acknowledgement take them (a request itself pauses before it sends, too
  // long to fuzz); the value groups turned around in those that hold them.
  source->Feed(line);
  while (!source->Exhausted()) {
    const int length = sensor->ReceivePacket(buffer.get(), capacity);
    CheckPacket(buffer.get(), length, capacity);
    if (length == 0) continue;
    const auto bytes = static_cast<std::size_t>(length);
    (void)Memsense::IsAcknowledgement(buffer.get(), bytes, data[0]);
    if (Memsense::HoldsValueGroups(bytes)) Memsense::SwapValueGroups(buffer.get());
  }
  return 0;
}
