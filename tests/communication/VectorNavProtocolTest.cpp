// The VectorNav protocol without a port: commands, CRC, the assemblers and
// both decoders, against bytes written out by hand.

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "communication/vectornav/Assemblers.h"
#include "communication/vectornav/BinaryPacket.h"
#include "communication/vectornav/Protocol.h"
#include "communication/vectornav/TextMessage.h"
#include "sensorsim/SimulatedVectorNav.h"

namespace {

namespace Vn = Communication::Device::Vn;
using SensorSim::Bytes;

double At(const Vn::Record& record, std::size_t offset) {
  double value;
  std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&record) + offset, sizeof value);
  return value;
}

template <class T>
T ValueAt(const Vn::Record& record, std::size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&record) + offset, sizeof value);
  return value;
}

Bytes Floats(const std::vector<float>& values) {
  Bytes bytes(4 * values.size());
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// Bytes not listed are zero.
bool ZeroBut(const Vn::Record& record, const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  for (std::size_t i = 0; i < sizeof record; ++i) {
    bool listed = false;
    for (const auto& [from, count] : ranges) listed = listed || (i >= from && i < from + count);
    if (!listed && bytes[i] != 0) return false;
  }
  return true;
}

struct RateCase {
  double frequency;
  unsigned divisor;
  const char* line;  // the command as written to the sensor
};

TEST(VectorNavCommands, BinaryOutputLinesCarryTheirDivisorAndChecksum) {
  const RateCase cases[] = {
      {60, 13, "$VNWRG,75,1,13,1,530*40\r\n"},
      {100, 8, "$VNWRG,75,1,8,1,530*7A\r\n"},
      {800, 1, "$VNWRG,75,1,1,1,530*73\r\n"},
  };
  for (const auto& c : cases) {
    const auto rate = Vn::DivisorFor(c.frequency);
    ASSERT_TRUE(rate) << c.frequency;
    EXPECT_EQ(rate->divisor, c.divisor) << c.frequency;
    EXPECT_FALSE(rate->clamped) << c.frequency;
    const std::string command = Vn::BinaryOutputCommand(rate->divisor);
    EXPECT_EQ(command + Vn::Trailer(command), c.line);
  }
  const std::string off = Vn::TextOutputOffCommand();
  EXPECT_EQ(off + Vn::Trailer(off), "$VNWRG,6,0*5C\r\n");
}

TEST(VectorNavCommands, RatesBeyondTheDivisorAreClampedAndNonRatesRefused) {
  struct Case {
    double frequency;
    std::optional<unsigned> divisor;  // none: refused
    bool clamped;
  };
  const Case cases[] = {
      {801, 1, true},
      {1e9, 1, true},
      {0.0125, 64000, false},
      {0.001, 65535, true},
      {0, {}, false},
      {-60, {}, false},
      {std::numeric_limits<double>::quiet_NaN(), {}, false},
      {std::numeric_limits<double>::infinity(), {}, false},
  };
  for (const auto& c : cases) {
    const auto rate = Vn::DivisorFor(c.frequency);
    ASSERT_EQ(rate.has_value(), c.divisor.has_value()) << c.frequency;
    if (!rate) continue;
    EXPECT_EQ(rate->divisor, *c.divisor) << c.frequency;
    EXPECT_EQ(rate->clamped, c.clamped) << c.frequency;
  }
}

TEST(VectorNavCrc, MatchesTheXmodemCheckValueAndCheckedPacketsYieldZero) {
  const std::string check = "123456789";
  EXPECT_EQ(Vn::Crc16(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x31C3);
  // Yaw, pitch, roll 1, -2, 0.5 in the Common group, CRC worked out by hand.
  const Bytes packet{0xFA, 0x01, 0x08, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00,
                     0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0x39, 0xF1};
  EXPECT_EQ(Vn::Crc16(packet.data() + 1, packet.size() - 1), 0);
  EXPECT_EQ(packet, SensorSim::BinaryPacket(0x01, {0x0008}, Floats({1.0f, -2.0f, 0.5f})));
}

TEST(VectorNavBinary, TheConfiguredOutputFillsItsQuantities) {
  // Quaternion, angular rate, acceleration, magnetic field, temperature, pressure.
  const Bytes packet{0xFA, 0x01, 0x30, 0x05, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0xBF, 0x00, 0x00,
                     0x80, 0x3E, 0x00, 0x00, 0x40, 0x3F, 0x00, 0x00, 0x00, 0x3E, 0x00, 0x00, 0xC0, 0xBF,
                     0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1C, 0xC1, 0x00, 0x00,
                     0x80, 0x3F, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x40, 0xBF,
                     0x00, 0x00, 0xAC, 0x41, 0x00, 0x80, 0xCA, 0x42, 0x36, 0x43};
  Vn::BinaryAssembler assembler;
  std::size_t completed = 0;
  for (const auto byte : packet) completed += assembler.Push(byte);
  ASSERT_EQ(completed, 1u);
  ASSERT_EQ(assembler.Length(), packet.size());

  Vn::Record record;
  ASSERT_TRUE(Vn::Binary::Decode(assembler.Packet(), assembler.Length(), record));
  const std::pair<std::size_t, double> expected[] = {
      {24, 0.5},   {32, -0.5},  {40, 0.25},  {48, 0.75},    // quaternion x, y, z, w
      {104, 0.125}, {112, -1.5}, {120, 3.0},                 // angular rate
      {80, 0.0},   {88, -9.75}, {96, 1.0},                   // acceleration
      {56, 0.25},  {64, 0.5},   {72, -0.75},                 // magnetic field
      {200, 21.5}, {504, 101.25},                            // temperature, pressure
  };
  for (const auto& [offset, value] : expected) EXPECT_EQ(At(record, offset), value) << "record byte " << offset;
  EXPECT_TRUE(ZeroBut(record, {{24, 32}, {104, 24}, {80, 24}, {56, 24}, {200, 8}, {504, 8}}));
}

TEST(VectorNavBinary, GroupsLandAsTheRecordLaysThemOut) {
  // IMU: status (passed over), uncompensated acceleration and angular rate.
  {
    const Bytes payload = [] {
      Bytes bytes{0xEE, 0xEE};
      const Bytes values = Floats({1, 2, 3, 4, 5, 6});
      bytes.insert(bytes.end(), values.begin(), values.end());
      return bytes;
    }();
    Vn::Record record;
    const Bytes packet = SensorSim::BinaryPacket(0x04, {0x000D}, payload);
    ASSERT_TRUE(Vn::Binary::Decode(packet.data(), packet.size(), record));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(At(record, 456 + 8 * i), 1 + i) << "uncompensated acceleration " << i;
      EXPECT_EQ(At(record, 432 + 8 * i), 4 + i) << "uncompensated angular rate " << i;
    }
  }
  // Common's combined field: acceleration, then angular rate, to the same places.
  {
    Vn::Record record;
    const Bytes packet = SensorSim::BinaryPacket(0x01, {0x0200}, Floats({1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(Vn::Binary::Decode(packet.data(), packet.size(), record));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(At(record, 456 + 8 * i), 1 + i) << "uncompensated acceleration " << i;
      EXPECT_EQ(At(record, 432 + 8 * i), 4 + i) << "uncompensated angular rate " << i;
    }
  }
  // Attitude: the direction cosine matrix row by row, as the text output stores it.
  {
    Vn::Record record;
    const Bytes packet = SensorSim::BinaryPacket(0x10, {0x0008}, Floats({11, 12, 13, 21, 22, 23, 31, 32, 33}));
    ASSERT_TRUE(Vn::Binary::Decode(packet.data(), packet.size(), record));
    const double rowOrder[] = {11, 12, 13, 21, 22, 23, 31, 32, 33};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(At(record, 128 + 8 * i), rowOrder[i]) << i;
  }
  // Time then GPS: start-up time kept bit for bit, UTC as bytes and milliseconds,
  // the satellites byte.
  {
    Bytes payload{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};          // Time bit 0
    payload.insert(payload.end(), {24, 6, 30, 23, 59, 58, 0xE7, 0x03});     // GPS bit 0: UTC, 999 ms
    payload.push_back(11);                                                   // GPS bit 3
    Vn::Record record;
    const Bytes packet = SensorSim::BinaryPacket(0x0A, {0x0001, 0x0009}, payload);
    ASSERT_TRUE(Vn::Binary::Decode(packet.data(), packet.size(), record));
    EXPECT_EQ(ValueAt<std::uint64_t>(record, 360), 0x0807060504030201u);
    const std::int8_t utc[] = {24, 6, 30, 23, 59, 58};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ValueAt<std::int8_t>(record, 602 + i), utc[i]) << i;
    EXPECT_EQ(ValueAt<std::uint16_t>(record, 608), 999);
    EXPECT_EQ(ValueAt<std::uint8_t>(record, 612), 11);
  }
}

TEST(VectorNavBinary, PacketsThatCannotBePlacedAreRefused) {
  struct Case {
    const char* name;
    Bytes packet;
  };
  const Case cases[] = {
      {"IMU raw field, not held", SensorSim::BinaryPacket(0x04, {0x1000}, Bytes(40, 0x11))},
      {"Attitude bit 9, not held", SensorSim::BinaryPacket(0x10, {0x0200}, Bytes(12, 0x11))},
      {"INS bit 11, not held", SensorSim::BinaryPacket(0x20, {0x0800}, Bytes(68, 0x11))},
      {"Common bit 15, unknown size", SensorSim::BinaryPacket(0x01, {0x8008}, Floats({1, 2, 3}))},
      {"group 7", SensorSim::BinaryPacket(0x41, {0x0008, 0x0001}, Floats({1, 2, 3, 4}))},
      {"payload longer than the masks say", SensorSim::BinaryPacket(0x01, {0x0008}, Floats({1, 2, 3, 4}))},
  };
  for (const auto& c : cases) {
    Vn::Record record;
    EXPECT_FALSE(Vn::Binary::Decode(c.packet.data(), c.packet.size(), record)) << c.name;
  }
}

TEST(VectorNavBinary, TheAssemblerDropsBadPacketsAndKeepsItsStep) {
  const Bytes good = SensorSim::BinaryPacket(0x01, {0x0008}, Floats({1, 2, 3}));
  Bytes badCrc = good;
  badCrc.back() ^= 0x01;
  // Attitude and INS fields adding up to 264 bytes.
  const Bytes overLong = SensorSim::BinaryPacket(0x30, {0x01FF, 0x07FF}, Bytes(256, 0));
  ASSERT_EQ(overLong.size(), 264u);
  // A sync byte inside a packet is data, not a new packet.
  const Bytes syncInside = SensorSim::BinaryPacket(0x01, {0x0008}, Floats({-7.8125f, 1, 2}));
  ASSERT_NE(std::find(syncInside.begin() + 2, syncInside.end(), 0xFA), syncInside.end());

  Bytes stream{0x00, 0x13, 0x24};
  for (const Bytes* part : std::vector<const Bytes*>{&badCrc, &good, &overLong, &good, &syncInside}) stream.insert(stream.end(), part->begin(), part->end());
  stream.insert(stream.end(), {0xFA, 0x80});  // an unknown group: dropped at its group byte
  stream.insert(stream.end(), good.begin(), good.end());

  Vn::BinaryAssembler assembler;
  std::vector<Bytes> completed;
  for (const auto byte : stream)
    if (assembler.Push(byte)) completed.emplace_back(assembler.Packet(), assembler.Packet() + assembler.Length());
  const std::vector<Bytes> expected{good, good, syncInside, good};
  EXPECT_EQ(completed, expected);
}

TEST(VectorNavText, LinesAreCheckedBeforeAnythingIsRead) {
  struct Case {
    std::string line;
    bool accepted;
  };
  const std::string good = SensorSim::TextLine("VNYPR,+010.5000,-002.2500,+001.0000");
  std::string wrongSum = good;
  wrongSum[wrongSum.size() - 3] = wrongSum[wrongSum.size() - 3] == '0' ? '1' : '0';
  std::string changedValue = good;
  changedValue[9] = '2';
  const Case cases[] = {
      {good, true},
      {wrongSum, false},
      {changedValue, false},
      {"$VNYPR,+010.5000,-002.2500,+001.0000\r\n", false},
      {good.substr(0, good.size() - 2) + "\n", false},
      {"$*00\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Vn::Text::Parse(c.line).has_value(), c.accepted) << c.line;
}

TEST(VectorNavText, OutputsFillTheQuantitiesTheyName) {
  struct Case {
    std::string body;
    std::vector<std::pair<std::size_t, double>> doubles;
  };
  const Case cases[] = {
      {"VNYMR,+010.000,-020.500,+030.250,+0.1250,-0.2500,+0.5000,-01.000,+02.000,-09.750,+0.0100,-0.0200,+0.0300",
       {{0, 10}, {8, -20.5}, {16, 30.25}, {56, 0.125}, {64, -0.25}, {72, 0.5}, {80, -1}, {88, 2}, {96, -9.75},
        {104, 0.01}, {112, -0.02}, {120, 0.03}}},
      // Row by row, as in the binary packet.
      {"VNDCM,11,12,13,21,22,23,31,32,33",
       {{128, 11}, {136, 12}, {144, 13}, {152, 21}, {160, 22}, {168, 23}, {176, 31}, {184, 32}, {192, 33}}},
      {"VNDTV,+0.0100,+1.5,-2.5,+3.5,+0.25,-0.5,+0.75",
       {{512, 0.01}, {520, 1.5}, {528, -2.5}, {536, 3.5}, {544, 0.25}, {552, -0.5}, {560, 0.75}}},
      {"VNINS,+345600.250,2100,0A2F,+010.0,-020.0,+030.0,+37.5,-122.25,+0010.5,+1.0,-2.0,+3.0,4.5,5.5,6.5",
       {{584, 345600.25}, {0, 10}, {8, -20}, {16, 30}, {384, 37.5}, {392, -122.25}, {400, 10.5},
        {408, 1}, {416, -2}, {424, 3}, {1064, 4.5}, {1048, 5.5}, {1056, 6.5}}},
  };
  for (const auto& c : cases) {
    const std::string line = SensorSim::TextLine(c.body);
    const auto message = Vn::Text::Parse(line);
    ASSERT_TRUE(message) << c.body;
    Vn::Record record;
    ASSERT_TRUE(Vn::Text::Decode(*message, record)) << c.body;
    for (const auto& [offset, value] : c.doubles)
      EXPECT_DOUBLE_EQ(At(record, offset), value) << c.body << ", record byte " << offset;
  }
  const std::string line = SensorSim::TextLine(cases[3].body);
  Vn::Record record;
  ASSERT_TRUE(Vn::Text::Decode(*Vn::Text::Parse(line), record));
  EXPECT_EQ(ValueAt<std::uint16_t>(record, 600), 2100) << "week";
  EXPECT_EQ(ValueAt<std::uint16_t>(record, 568), 0x0A2F) << "status, hexadecimal";
}

TEST(VectorNavText, MessagesThatDoNotFitAreNotDelivered) {
  const std::string bodies[] = {
      "VNYPR,+010.5,-002.25",          // fields run out
      "VNYPR,+010.5,-002.25,",         // an empty last field
      "VNYPR,+010.5,abc,+001.0",       // no number
      "VNYPR",                         // no fields at all
      "VNWRG,75,1,13,1,530",           // a reply, no data output
      "VNXYZ,1,2,3",
  };
  for (const auto& body : bodies) {
    const std::string line = SensorSim::TextLine(body);
    const auto message = Vn::Text::Parse(line);
    ASSERT_TRUE(message) << body;
    Vn::Record record;
    EXPECT_FALSE(Vn::Text::Decode(*message, record)) << body;
  }
}

TEST(VectorNavText, ErrorMessagesCarryTheirNumber) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {"VNERR,03", 3}, {"VNERR,12", 12}, {"VNERR", {}}, {"VNERR,x", {}}, {"VNYPR,03", {}},
  };
  for (const auto& [body, number] : cases) EXPECT_EQ(Vn::Text::ErrorNumber(*Vn::Text::Parse(SensorSim::TextLine(body))), number) << body;
}

TEST(VectorNavText, TheAssemblerTakesDollarToCarriageReturnLineFeed) {
  const std::string first = SensorSim::TextLine("VNYPR,1,2,3");
  const std::string second = SensorSim::TextLine("VNQTN,1,2,3,4");
  std::string stream = "junk$VNYPR,1,2";  // cut short by the next "$"
  stream += first;
  stream += "$VN" + std::string(300, '1') + "\r\n";  // longer than a message may be
  stream += "\r\n" + second;

  Vn::TextAssembler assembler;
  std::vector<std::string> messages;
  for (const char c : stream)
    if (assembler.Push(static_cast<std::uint8_t>(c))) messages.emplace_back(assembler.Message());
  EXPECT_EQ(messages, (std::vector<std::string>{first, second}));
}

}  // namespace
