// The Memsense packet without a port: framing, checksums, acknowledgements
// and the byte order of the data values, against bytes written out by hand.

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ByteSource.h"
#include "LogCapture.h"
#include "MemsenseConfigurationPackets.h"
#include "communication/memsense/Memsens.h"
#include "communication/memsense/Packet.h"

namespace {

namespace Memsense = Communication::Device::Memsense;
using Bytes = std::vector<std::uint8_t>;

Bytes Framed(const Bytes& data) {
  Bytes packet(Memsense::kMaxLength);
  packet.resize(Memsense::Build(data.data(), data.size(), packet.data(), packet.size()));
  return packet;
}

TEST(MemsensePacket, TheConfigurationSeriesFramesToTheSensorsPackets) {
  const auto& expected = kMemsenseConfigurationPackets;
  ASSERT_EQ(Memsense::kConfiguration.size(), expected.size());
  for (std::size_t step = 0; step < expected.size(); ++step) {
    const auto& row = Memsense::kConfiguration[step];
    EXPECT_EQ(Framed(Bytes(row.data.begin(), row.data.begin() + row.length)), expected[step]) << "step " << step + 1;
    EXPECT_TRUE(Memsense::ChecksumsMatch(expected[step].data(), expected[step].size())) << "step " << step + 1;
  }
  // The length bytes are always written over, whatever the data held there.
  EXPECT_EQ(Framed({0x02, 0x05, 0x04, 0x03, 0x02, 0x00}), expected[5]);
}

TEST(MemsensePacket, BothChecksumsAreChecked) {
  const Bytes good{0xA5, 0xA5, 0x02, 0x04, 0x04, 0x02, 0x02, 0x00, 0x58, 0xE5};
  for (std::size_t at = 0; at < good.size(); ++at) {
    Bytes bad = good;
    bad[at] ^= 0x01;
    EXPECT_FALSE(Memsense::ChecksumsMatch(bad.data(), bad.size())) << "byte " << at << " changed";
  }
  // Swapping two bytes keeps the plain sum but not the running one.
  Bytes swapped = good;
  std::swap(swapped[4], swapped[5]);
  EXPECT_FALSE(Memsense::ChecksumsMatch(swapped.data(), swapped.size()));
}

TEST(MemsensePacket, AnAcknowledgementNamesItsRequest) {
  struct Case {
    Bytes packet;
    std::uint8_t request;
    bool acknowledges;
  };
  const Case cases[] = {
      {{0xA5, 0xA5, 0x02, 0x04, 0x80, 0x02, 0x05, 0x00, 0, 0}, 0x05, true},
      {{0xA5, 0xA5, 0x02, 0x04, 0x80, 0x02, 0x05, 0x00, 0, 0}, 0x04, false},
      {{0xA5, 0xA5, 0x02, 0x04, 0x80, 0x02, 0x05, 0x01, 0, 0}, 0x05, false},  // a refusal
      {{0xA5, 0xA5, 0x02, 0x04, 0x81, 0x02, 0x05, 0x00, 0, 0}, 0x05, false},
      {{0xA5, 0xA5, 0x02, 0x01, 0x80, 0, 0}, 0x00, false},                    // too short to say
  };
  for (const auto& c : cases)
    EXPECT_EQ(Memsense::IsAcknowledgement(c.packet.data(), c.packet.size(), c.request), c.acknowledges)
        << "packet of " << c.packet.size() << " bytes, request " << int{c.request};
}

TEST(MemsensePacket, ValueGroupsTurnLittleEndianAndNothingElseMoves) {
  Bytes packet(62);
  for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
  packet[6] = 0x11;
  packet[7] = 0x22;
  packet[8] = 0x33;
  packet[9] = 0x44;
  Bytes expected = packet;
  for (const std::size_t group : {6, 20, 34, 48})
    for (std::size_t value = group; value < group + 12; value += 4)
      for (std::size_t k = 0; k < 4; ++k) expected[value + k] = packet[value + 3 - k];
  ASSERT_EQ(expected[6], 0x44);
  ASSERT_EQ(expected[9], 0x11);
  Memsense::SwapValueGroups(packet.data());
  EXPECT_EQ(packet, expected);

  EXPECT_FALSE(Memsense::HoldsValueGroups(61)) << "the last group would run into the checksums";
  EXPECT_TRUE(Memsense::HoldsValueGroups(62));
}

// A receive buffer exactly as large as the capacity given, so that a write
// past it shows under the address sanitizer.
TEST(MemsenseReceive, APacketLongerThanTheBufferIsNotTaken) {
  LogCapture log;
  // Type 0x10, 20 payload bytes 0x33, checksums worked out by hand.
  Bytes packet{0xA5, 0xA5, 0x10, 0x14};
  packet.resize(24, 0x33);
  packet.resize(26);
  packet[24] = 0x6A;
  packet[25] = 0x25;
  const Bytes payload(20, 0x33);

  for (const int capacity : {static_cast<int>(payload.size()), static_cast<int>(packet.size()) - 1,
                             static_cast<int>(packet.size())}) {
    const auto source = std::make_shared<ByteSource>();
    source->Feed(packet);
    const auto sensor = std::make_shared<Communication::Device::CMemsens>();
    sensor->SetTransport(source);
    const auto buffer = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(capacity));
    const int length = sensor->ReceivePacket(buffer.get(), capacity);
    EXPECT_EQ(length, capacity == static_cast<int>(packet.size()) ? capacity : 0) << "capacity " << capacity;
  }
}

}  // namespace
