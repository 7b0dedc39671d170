// The VectorNav and Memsense drivers on their simulated sensors: opening and
// configuration byte for byte, streaming, the commands' replies, two sensors
// at once, and the line's corruptions, which are dropped without a trace in
// what the devices hand on.

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "MemsenseConfigurationPackets.h"
#include "ScratchDirectory.h"
#include "communication/datainterface/Serial.h"
#include "communication/memsense/Memsens.h"
#include "communication/vectornav/Driver.h"
#include "communication/vectornav/Protocol.h"
#include "communication/vectornav/Vn.h"
#include "sensorsim/SimulatedMemsense.h"
#include "sensorsim/SimulatedVectorNav.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Communication::Device::CMemsens;
using Communication::Device::CVn;
namespace Vn = Communication::Device::Vn;

constexpr auto kLimit = 10s;  // bound of every wait for something that must happen
constexpr std::size_t kVnRecordBytes = 1072;
constexpr std::size_t kMemsenseBytes = 62;

template <class Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

double DoubleAt(const Bytes& bytes, std::size_t at) {
  double value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

float FloatAt(const Bytes& bytes, std::size_t at) {
  float value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// Copies of what a device hands on, `size` bytes each.
class Frames {
 public:
  explicit Frames(std::size_t size) : size_(size) {}
  Communication::Device::DataHandler Handler() {
    return [this](void* frame) {
      const auto* bytes = static_cast<const std::uint8_t*>(frame);
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.emplace_back(bytes, bytes + size_);
    };
  }
  std::vector<Bytes> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::size_t Count() const { return All().size(); }
  bool WaitForMore(std::size_t count) const {
    const std::size_t target = Count() + count;
    return WaitFor([&] { return Count() >= target; });
  }

 private:
  std::size_t size_;
  mutable std::mutex mutex_;
  std::vector<Bytes> frames_;
};

// The simulated VectorNav's packet that a record carries, judged by every
// value and the zeros around them; none when it is no such record.
std::optional<std::uint32_t> VectorNavPacket(const Bytes& record, int seed) {
  const double fraction = DoubleAt(record, 24) - seed * 1000;
  if (!(fraction >= 0 && fraction < 1)) return std::nullopt;
  const auto counter = static_cast<std::uint32_t>(fraction * 256);
  // Record offset of packet value k: quaternion, angular rate, acceleration,
  // magnetic field, temperature, pressure.
  const std::size_t offsets[] = {24, 32, 40, 48, 104, 112, 120, 80, 88, 96, 56, 64, 72, 200, 504};
  Bytes rest = record;
  for (int k = 0; k < 15; ++k) {
    if (DoubleAt(record, offsets[k]) != SensorSim::PacketValue(seed, counter, k)) return std::nullopt;
    std::memset(rest.data() + offsets[k], 0, 8);
  }
  if (rest != Bytes(kVnRecordBytes, 0)) return std::nullopt;
  return counter;
}

// The simulated Memsense's data packet a handed-on packet is, values in
// little-endian order; none when it is no such packet.
std::optional<std::uint32_t> MemsensePacket(const Bytes& packet, int seed) {
  const std::uint32_t counter = (U32At(packet, 48) - 0x10000000u * static_cast<std::uint32_t>(seed + 1)) / 0x100;
  for (int k = 0; k < 3; ++k)
    if (U32At(packet, 48 + 4 * k) != SensorSim::MemsenseWord(seed, counter, k)) return std::nullopt;
  for (int group = 0; group < 3; ++group)
    for (int k = 0; k < 3; ++k)
      if (FloatAt(packet, 6 + 14 * group + 4 * k) != SensorSim::MemsenseValue(seed, counter, 3 * group + k))
        return std::nullopt;
  return counter;
}

// Options with one or two settings changed.
template <class Options, class Change>
Options With(Change change) {
  Options options;
  change(options);
  return options;
}

SensorSim::VectorNavOptions VectorNav(int seed, int errorNumber = 0) {
  return With<SensorSim::VectorNavOptions>([&](auto& o) {
    o.seed = seed;
    o.errorNumber = errorNumber;
  });
}

boost::property_tree::ptree Parameters(int com, const std::string& frequency = "") {
  boost::property_tree::ptree parameters;
  parameters.put("com", com);
  if (!frequency.empty()) parameters.put("frequency", frequency);
  return parameters;
}

class OutsideSensors : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }
  void TearDown() override {
    for (const auto& device : devices) device->Close();
    devices.clear();
  }

  SensorSim::SimulatedVectorNav& AddVectorNav(int com, SensorSim::VectorNavOptions options = {}) {
    vectorNavs.push_back(std::make_unique<SensorSim::SimulatedVectorNav>(std::move(options)));
    vectorNavs.back()->AttachPty(scratch.Path(), com);
    return *vectorNavs.back();
  }

  SensorSim::SimulatedMemsense& AddMemsense(int com, SensorSim::MemsenseOptions options = {}) {
    memsenses.push_back(std::make_unique<SensorSim::SimulatedMemsense>(options));
    memsenses.back()->AttachPty(scratch.Path(), com);
    return *memsenses.back();
  }

  std::shared_ptr<CVn> NewVectorNav(Frames* frames = nullptr) {
    auto device = std::make_shared<CVn>();
    if (frames) device->SetDataHandler(frames->Handler());
    devices.push_back(device);
    return device;
  }

  std::shared_ptr<CMemsens> NewMemsense(Frames* frames = nullptr) {
    auto device = std::make_shared<CMemsens>();
    device->SetTransport(std::make_shared<Communication::DataInterface::CSerial>());
    if (frames) device->SetDataHandler(frames->Handler());
    devices.push_back(device);
    return device;
  }

  // Outlive the devices that fill them, which the fixture closes.
  Frames& NewFrames(std::size_t size) { return frames_.emplace_back(size); }

  ScratchDirectory scratch;
  LogCapture log;
  std::list<Frames> frames_;
  std::vector<std::unique_ptr<SensorSim::SimulatedVectorNav>> vectorNavs;
  std::vector<std::unique_ptr<SensorSim::SimulatedMemsense>> memsenses;
  // Closed before the simulators go.
  std::vector<std::shared_ptr<Communication::Device::CHub>> devices;
};

TEST_F(OutsideSensors, VectorNavIsConfiguredByteForByteAndStreamsItsValues) {
  struct Case {
    const char* frequency;
    unsigned divisor;
    const char* binaryCommand;
    const char* logLine;
  };
  const Case cases[] = {
      {"60", 13, "$VNWRG,75,1,13,1,530*40\r\n", "<info> Configuring device for 60Hz (real ~61Hz)"},
      {"100", 8, "$VNWRG,75,1,8,1,530*7A\r\n", "<info> Configuring device for 100Hz (real ~100Hz)"},
      {"800", 1, "$VNWRG,75,1,1,1,530*73\r\n", "<info> Configuring device for 800Hz (real ~800Hz)"},
  };
  int com = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frequency);
    const int seed = com;
    // A sensor that streams text until told otherwise.
    auto& sim = AddVectorNav(com, {seed, "VNYMR"});
    Frames& frames = NewFrames(kVnRecordBytes);
    const auto device = NewVectorNav(&frames);
    ASSERT_TRUE(device->Open(Parameters(com, c.frequency)));
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"$VNWRG,6,0*5C\r\n", c.binaryCommand}));
    EXPECT_TRUE(log.Contains(c.logLine));
    EXPECT_EQ(sim.Divisor(), c.divisor);
    EXPECT_FALSE(sim.TextOutputOn());

    ASSERT_TRUE(frames.WaitForMore(20));
    device->Close();
    for (const auto& record : frames.All()) EXPECT_TRUE(VectorNavPacket(record, seed)) << "a record not sent by the sensor";
    ++com;
  }
}

TEST_F(OutsideSensors, VectorNavRatesOutOfReachAreClampedAndNonRatesRefused) {
  struct Case {
    const char* frequency;
    bool opens;
    const char* logLine;
    const char* binaryCommand;  // null: none sent
  };
  const Case cases[] = {
      {"1000", true, "<warning> <hw> frequency 1000Hz out of reach, rate divisor kept at 1", "$VNWRG,75,1,1,1,530*73\r\n"},
      {"0", false, "<error> <hw> invalid frequency \"0\"", nullptr},
      {"-60", false, "<error> <hw> invalid frequency \"-60\"", nullptr},
      {"fast", false, "<error> <hw> invalid frequency \"fast\"", nullptr},
  };
  int com = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frequency);
    auto& sim = AddVectorNav(com);
    const auto device = NewVectorNav();
    EXPECT_EQ(device->Open(Parameters(com, c.frequency)), c.opens);
    EXPECT_TRUE(log.Contains(c.logLine));
    std::vector<std::string> expected{"$VNWRG,6,0*5C\r\n"};
    if (c.binaryCommand) expected.push_back(c.binaryCommand);
    EXPECT_EQ(sim.Commands(), expected);
    device->Close();
    ++com;
  }
}

TEST_F(OutsideSensors, VectorNavDoesNotOpenWithoutItsBinaryOutput) {
  AddVectorNav(1, VectorNav(0, 4));
  const auto device = NewVectorNav();
  EXPECT_FALSE(device->Open(Parameters(1)));
  EXPECT_TRUE(log.Contains("<error> <hw> disable ascii stream failed"));
  EXPECT_TRUE(log.Contains("<error> <hw> configure binary stream failed"));

  // Nothing on the port at all.
  const auto absent = NewVectorNav();
  EXPECT_FALSE(absent->Open(Parameters(2)));
  EXPECT_TRUE(log.Contains("<error> <hw> connect to the sensor failed"));
}

TEST_F(OutsideSensors, VectorNavStreamStartsAndStopsOnce) {
  AddVectorNav(1);
  Frames& frames = NewFrames(kVnRecordBytes);
  const auto device = NewVectorNav(&frames);
  ASSERT_TRUE(device->Open(Parameters(1)));
  device->StartStream();
  EXPECT_EQ(log.Count("<error> <hw> start stream failed"), 1u);
  ASSERT_TRUE(frames.WaitForMore(3)) << "a second start must leave the stream as it was";
  device->StopStream();
  device->StopStream();
  EXPECT_EQ(log.Count("<error> <hw> stop stream failed"), 1u);
}

// Two sensors, two devices: each hands on only its own sensor's records, and
// the one constructed last going away leaves the other streaming.
TEST_F(OutsideSensors, TwoVectorNavsKeepTheirRecordsApart) {
  AddVectorNav(1, VectorNav(1));
  AddVectorNav(2, VectorNav(2));
  Frames& first = NewFrames(kVnRecordBytes);
  Frames& second = NewFrames(kVnRecordBytes);
  const auto older = NewVectorNav(&first);
  const auto newer = NewVectorNav(&second);
  ASSERT_TRUE(older->Open(Parameters(1, "200")));
  ASSERT_TRUE(newer->Open(Parameters(2, "200")));
  ASSERT_TRUE(first.WaitForMore(20));
  ASSERT_TRUE(second.WaitForMore(20));

  newer->Close();
  devices.pop_back();
  const std::size_t secondCount = second.Count();
  ASSERT_TRUE(first.WaitForMore(20)) << "closing one device stopped the other";
  EXPECT_EQ(second.Count(), secondCount);

  for (const auto& record : first.All()) EXPECT_TRUE(VectorNavPacket(record, 1)) << "a record of the wrong sensor";
  for (const auto& record : second.All()) EXPECT_TRUE(VectorNavPacket(record, 2)) << "a record of the wrong sensor";
}

TEST_F(OutsideSensors, VectorNavCloseWaitsForTheRecordInProgress) {
  AddVectorNav(1);
  std::atomic<bool> inside{false};
  std::atomic<int> calls{0};
  const auto device = NewVectorNav();
  device->SetDataHandler([&](void*) {
    inside = true;
    ++calls;
    std::this_thread::sleep_for(100ms);
    inside = false;
  });
  ASSERT_TRUE(device->Open(Parameters(1, "100")));
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
  device->Close();
  EXPECT_FALSE(inside) << "Close returned while the handler ran";
  const int after = calls;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls, after);
}

// The driver's commands against a sensor that answers late, wrongly or not at all.
class VectorNavCommands : public OutsideSensors {
 protected:
  void TearDown() override {
    driver.Disconnect();
    OutsideSensors::TearDown();
  }

  void Connect(SensorSim::VectorNavOptions options) {
    sim = &AddVectorNav(1, std::move(options));
    ASSERT_EQ(driver.Connect("COM1", 115200), Vn::Result::kSuccess);
    driver.SetDataCallback(
        [](void* user, const Vn::Record& record) {
          auto& self = *static_cast<VectorNavCommands*>(user);
          std::lock_guard<std::mutex> lock(self.mutex);
          self.yaws.push_back(record.yawPitchRoll[0]);
        },
        this);
  }

  std::vector<double> Yaws() {
    std::lock_guard<std::mutex> lock(mutex);
    return yaws;
  }

  // A text data output whose yaw marks it; once it is handed on, everything
  // sent before it has been read.
  void SendMarker(double yaw) {
    char body[64];
    std::snprintf(body, sizeof body, "VNYPR,%+.3f,+0.000,+0.000", yaw);
    const std::string line = SensorSim::TextLine(body);
    sim->SendRaw(Bytes(line.begin(), line.end()));
  }
  bool MarkerArrived(double yaw) {
    return WaitFor([&] {
      const auto seen = Yaws();
      return std::find(seen.begin(), seen.end(), yaw) != seen.end();
    });
  }

  SensorSim::SimulatedVectorNav* sim = nullptr;
  Vn::CDriver driver;
  std::mutex mutex;
  std::vector<double> yaws;
};

TEST_F(VectorNavCommands, AnErrorReplyGivesTheSensorsNumberPlusSeven) {
  Connect(VectorNav(0, 3));
  EXPECT_EQ(driver.DisableTextOutput(), 10);
}

TEST_F(VectorNavCommands, AnErrorWithNoCommandWaitingAnswersNoLaterCommand) {
  Connect(VectorNav(0, 3));
  const std::string stray = SensorSim::TextLine("VNERR,05");
  sim->SendRaw(Bytes(stray.begin(), stray.end()));
  SendMarker(1.5);
  ASSERT_TRUE(MarkerArrived(1.5));
  EXPECT_EQ(driver.DisableTextOutput(), 10) << "the command must wait for its own reply";
}

TEST_F(VectorNavCommands, TextOutputWhileACommandWaitsIsNotHandedOn) {
  Connect(With<SensorSim::VectorNavOptions>([](auto& o) {
    o.textOutput = "VNQTN";
    o.textRateHz = 0;
    o.textBeforeReply = true;
  }));
  EXPECT_EQ(driver.DisableTextOutput(), Vn::Result::kSuccess);
  SendMarker(2.5);
  ASSERT_TRUE(MarkerArrived(2.5));
  EXPECT_EQ(Yaws(), std::vector<double>{2.5}) << "the output sent before the reply was handed on";
}

// A command that timed out: what it left behind neither silences the data
// outputs nor answers the next command.
TEST_F(VectorNavCommands, ATimedOutCommandLeavesNothingBehind) {
  Connect(With<SensorSim::VectorNavOptions>([](auto& o) {
    o.unansweredCommands = 1;
    o.errorNumber = 3;
  }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(driver.DisableTextOutput(), Vn::Result::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, Vn::CDriver::kResponseTimeout);

  SendMarker(3.5);
  ASSERT_TRUE(MarkerArrived(3.5)) << "data outputs are still ignored as if a command waited";

  const std::string late = SensorSim::TextLine("VNWRG,6,0");
  sim->SendRaw(Bytes(late.begin(), late.end()));
  SendMarker(4.5);
  ASSERT_TRUE(MarkerArrived(4.5));
  EXPECT_EQ(driver.DisableTextOutput(), 10) << "the late reply answered the next command";
}

TEST_F(OutsideSensors, MemsenseIsConfiguredByTheEightPacketsAndStreams) {
  auto& sim = AddMemsense(1, With<SensorSim::MemsenseOptions>([](auto& o) { o.seed = 3; }));
  Frames& frames = NewFrames(kMemsenseBytes);
  const auto device = NewMemsense(&frames);
  ASSERT_TRUE(device->Open(Parameters(1)));
  EXPECT_EQ(sim.Packets(), kMemsenseConfigurationPackets);
  ASSERT_TRUE(frames.WaitForMore(20));
  device->Close();
  for (const auto& packet : frames.All()) EXPECT_TRUE(MemsensePacket(packet, 3)) << "a packet not sent by the sensor";
}

TEST_F(OutsideSensors, MemsenseAnUnansweredStepFailsOpenAndIsNamed) {
  struct Case {
    int step;
    bool streaming;  // the sensor streams all along, so that every receive yields a packet
  };
  const Case cases[] = {{1, false}, {5, false}, {8, false}, {1, true}, {6, true}};
  int com = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE("step " + std::to_string(c.step) + (c.streaming ? ", streaming" : ""));
    auto& sim = AddMemsense(com, With<SensorSim::MemsenseOptions>([&](auto& o) {
      o.streamFromStart = c.streaming;
      o.unansweredStep = c.step;
    }));
    const auto device = NewMemsense();
    EXPECT_FALSE(device->Open(Parameters(com)));
    EXPECT_TRUE(log.Contains("<error> <hw> configuration step " + std::to_string(c.step) + " of 8 unanswered"));
    EXPECT_EQ(sim.Packets().size(), static_cast<std::size_t>(c.step)) << "no packet after the unanswered one";
    device->Close();
    ++com;
  }
}

TEST_F(OutsideSensors, MemsenseFindsItsAcknowledgementsAmongDataPackets) {
  AddMemsense(1, With<SensorSim::MemsenseOptions>([](auto& o) {
    o.seed = 2;
    o.streamFromStart = true;
  }));
  Frames& frames = NewFrames(kMemsenseBytes);
  const auto device = NewMemsense(&frames);
  ASSERT_TRUE(device->Open(Parameters(1)));
  ASSERT_TRUE(frames.WaitForMore(5));
}

// Corruptions on a streaming line: none of them reaches the handler, and the
// stream goes on.
struct Corruption {
  const char* name;
  bool vectorNav;                 // else Memsense
  std::function<Bytes()> bytes;   // what goes on the line between two good ones
  const char* logLine;            // written when the bytes are dropped, if anything
};

std::ostream& operator<<(std::ostream& out, const Corruption& c) { return out << c.name; }

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Flipped(Bytes bytes, std::size_t fromEnd) {
  bytes[bytes.size() - fromEnd] ^= 0x01;
  return bytes;
}

const Corruption kCorruptions[] = {
    {"text line with a wrong checksum", true,
     [] { return Flipped(FromText(SensorSim::TextLine("VNYMR,+1,+2,+3,+4,+5,+6,+7,+8,+9,+10,+11,+12")), 3); }, nullptr},
    {"text line without a checksum", true, [] { return FromText("$VNYPR,+1.000,+2.000,+3.000\r\n"); }, nullptr},
    {"text line of more than 255 characters", true,
     [] {
       std::string body = "VNYMR";
       for (int k = 0; k < 12; ++k) body += ",+00000000000000000001.0000";
       return FromText(SensorSim::TextLine(body));
     },
     nullptr},
    {"text line whose fields run out", true, [] { return FromText(SensorSim::TextLine("VNYMR,+1,+2,+3")); }, nullptr},
    {"binary packet with a wrong CRC", true, [] { return Flipped(SensorSim::CommonPacket(9, 7), 1); }, nullptr},
    {"binary packet of more than 256 bytes", true,
     [] { return SensorSim::BinaryPacket(0x30, {0x01FF, 0x07FF}, Bytes(256, 0x11)); }, nullptr},
    {"binary packet naming group 7", true,
     [] {
       Bytes payload = SensorSim::CommonPacket(9, 7);
       payload = Bytes(payload.begin() + 4, payload.end() - 2);
       payload.insert(payload.end(), 12, 0x11);
       return SensorSim::BinaryPacket(0x41, {0x0530, 0x0001}, payload);
     },
     nullptr},
    {"binary packet with a field the record does not hold", true,
     [] { return SensorSim::BinaryPacket(0x04, {0x1000}, Bytes(40, 0x11)); }, nullptr},
    {"garbage with sync bytes", true, [] { return Bytes{0xFA, 0x01, 0x24, 0x00, 0xFA, 0x3F, '$', '\r', '\n'}; }, nullptr},
    {"Memsense packet with a wrong checksum A", false, [] { return Flipped(SensorSim::MemsenseDataPacket(9, 7), 2); },
     "<error> receive error: crc"},
    {"Memsense packet with a wrong checksum B", false, [] { return Flipped(SensorSim::MemsenseDataPacket(9, 7), 1); },
     "<error> receive error: crc"},
    {"Memsense packet with a wrong value byte", false,
     [] { return Flipped(SensorSim::MemsenseDataPacket(9, 7), 20); }, "<error> receive error: crc"},
    {"Memsense packet whose second sync byte is wrong", false,
     [] {
       Bytes packet = SensorSim::MemsenseDataPacket(9, 7);
       packet[1] = 0x5A;
       return packet;
     },
     "<error> receive error: prefix 23205, type 16, len 56"},
    {"Memsense packet too short for the values", false,
     [] { return SensorSim::MemsensePacket(0x10, Bytes(54, 0x11)); },
     "<warning> <hw> packet of 60 bytes dropped: too short for the data values"},
};

class LineCorruption : public OutsideSensors, public ::testing::WithParamInterface<Corruption> {};

TEST_P(LineCorruption, IsDroppedAndTheStreamGoesOn) {
  const Corruption& c = GetParam();
  const int seed = 1;
  Frames& frames = NewFrames(c.vectorNav ? kVnRecordBytes : kMemsenseBytes);
  std::shared_ptr<Communication::Device::CHub> device;
  std::function<void(const Bytes&)> send;
  if (c.vectorNav) {
    auto& sim = AddVectorNav(1, VectorNav(seed));
    device = NewVectorNav(&frames);
    ASSERT_TRUE(device->Open(Parameters(1, "100")));
    send = [&sim](const Bytes& bytes) { sim.SendRaw(bytes); };
  } else {
    auto& sim = AddMemsense(1, With<SensorSim::MemsenseOptions>([&](auto& o) {
      o.seed = seed;
      o.frameRateHz = 100;
    }));
    device = NewMemsense(&frames);
    // The configuration is not what this test is about: room for a busy machine.
    auto parameters = Parameters(1);
    parameters.put("transmissiontimeout", 1000);
    ASSERT_TRUE(device->Open(parameters));
    send = [&sim](const Bytes& bytes) { sim.SendRaw(bytes); };
  }
  ASSERT_TRUE(frames.WaitForMore(3));
  for (int i = 0; i < 3; ++i) {
    send(c.bytes());
    ASSERT_TRUE(frames.WaitForMore(3));
  }
  if (c.logLine) {
    EXPECT_TRUE(log.Contains(c.logLine));
  }
  device->Close();

  for (const auto& frame : frames.All()) {
    const bool sensors = c.vectorNav ? VectorNavPacket(frame, seed).has_value() : MemsensePacket(frame, seed).has_value();
    EXPECT_TRUE(sensors) << "handed on something the sensor did not send";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LineCorruption, ::testing::ValuesIn(kCorruptions));

}  // namespace
