// Arbitrary bytes from a VectorNav sensor through the binary assembler and
// the packet decoder: every packet handed on is whole, within its length
// limit and checked by its CRC, and decoding never reads or writes out of
// place, whatever its input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "communication/vectornav/Assemblers.h"
#include "communication/vectornav/BinaryPacket.h"
#include "communication/vectornav/Protocol.h"

namespace Vn = Communication::Device::Vn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Vn::BinaryAssembler assembler;
  Vn::Record record;
  for (std::size_t i = 0; i < size; ++i) {
    if (!assembler.Push(data[i])) continue;
    const std::uint8_t* packet = assembler.Packet();
    const std::size_t length = assembler.Length();
    if (length < 4 || length > Vn::Binary::kMaxLength || packet[0] != Vn::Binary::kSync ||
        Vn::Crc16(packet + 1, length - 1) != 0 || Vn::Binary::TotalLength(packet) != length)
      std::abort();
    Vn::Binary::Decode(packet, length, record);
  }
  // The decoder on its own, given bytes no assembler measured.
  Vn::Binary::Decode(data, size, record);
  return 0;
}
