// Every hub kind through the exported functions, as the flash tool uses them:
// open, find the sensor by probing bus addresses, read its flash image, write
// a new one, close; and the flash writes that must not report success.

#include <stdlib.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "simhub/SimulatedHub.h"

namespace {

constexpr int kCom = 4;
constexpr int kLastBusAddress = 254;

// An image whose bytes differ from their neighbours and from the other image
// sizes, with an identifier word at 6 and a 32-bit one at 8.
SimHub::Bytes Image(std::size_t size, std::uint16_t word6, std::uint32_t long8, std::uint8_t seed) {
  SimHub::Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(seed + 7 * i + i / 256);
  image[6] = static_cast<std::uint8_t>(word6 & 0xFF);
  image[7] = static_cast<std::uint8_t>(word6 >> 8);
  for (int k = 0; k < 4; ++k) image[8 + k] = static_cast<std::uint8_t>(long8 >> (8 * k));
  return image;
}

// The same image with every byte but the identifier words changed.
SimHub::Bytes Rewritten(SimHub::Bytes image) {
  for (std::size_t i = 0; i < image.size(); ++i)
    if (i < 6 || i >= 12) image[i] = static_cast<std::uint8_t>(image[i] ^ 0x5A);
  return image;
}

struct HubCase {
  const char* name;
  SimHub::HubKind kind;
  const char* device;
  std::string identity;
  SimHub::Bytes image;
  // The bus address the sensor answers to; none for the kinds that answer none.
  std::optional<int> busAddress;
};

std::ostream& operator<<(std::ostream& out, const HubCase& c) { return out << c.name; }

class HostHub : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  void Start(SimHub::HubKind kind, const std::string& identity, const SimHub::Bytes& image) {
    SimHub::HubOptions options;
    options.kind = kind;
    options.sensors.push_back(SimHub::SimSensor{identity, image, {}});
    sim.emplace(std::move(options));
    sim->AttachPty(scratch.Path(), kCom);
  }

  int Open(const std::string& device) {
    const std::string parameters =
        "device=" + device + ";com=" + std::to_string(kCom) + ";transmissiontimeout=50;debugOutputLevel=0";
    return sdk.CreateDevice(1, "none.ini", parameters.c_str());
  }

  // The tool's probe: the first bus address that yields an identity.
  std::optional<int> Probe(int handle, std::string& identity) {
    char buffer[128];
    for (int address = 0; address <= kLastBusAddress; ++address) {
      const int length = sdk.GetSensorId(handle, address, buffer, sizeof buffer);
      if (length > 0) {
        identity.assign(buffer, static_cast<std::size_t>(length));
        return address;
      }
    }
    return std::nullopt;
  }

  // Reads with the length protocol: a first call learns the size.
  std::optional<SimHub::Bytes> Read(int handle, int address) {
    unsigned int length = 0;
    if (sdk.GetSensorFlash(handle, address, nullptr, &length)) return std::nullopt;
    if (length == 0) return std::nullopt;
    SimHub::Bytes image(length);
    if (!sdk.GetSensorFlash(handle, address, reinterpret_cast<char*>(image.data()), &length)) return std::nullopt;
    if (length != image.size()) return std::nullopt;
    return image;
  }

  bool Logged(const std::string& text) const {
    return scratch.Read("quenlith_sdk_lite.txt").find(text) != std::string::npos;
  }

  ScratchDirectory scratch;
  std::optional<SimHub::SimulatedHub> sim;
  SdkLibrary sdk;
};

class HubKinds : public HostHub, public ::testing::WithParamInterface<HubCase> {};

TEST_P(HubKinds, IdentityAndFlashByBusAddress) {
  const HubCase& c = GetParam();
  Start(c.kind, c.identity, c.image);
  const int handle = Open(c.device);
  ASSERT_GE(handle, 0);

  std::string identity;
  const auto address = Probe(handle, identity);
  ASSERT_EQ(address, c.busAddress);
  if (address) {
    EXPECT_EQ(identity, c.identity);

    // The length protocol: too little room tells the size and fills nothing.
    unsigned int length = 0;
    EXPECT_FALSE(sdk.GetSensorFlash(handle, *address, nullptr, &length));
    EXPECT_EQ(length, c.image.size());
    std::vector<char> buffer(c.image.size() + 16, '\x7E');
    length = static_cast<unsigned int>(c.image.size() - 2);
    EXPECT_FALSE(sdk.GetSensorFlash(handle, *address, buffer.data(), &length));
    EXPECT_EQ(length, c.image.size());
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char b) { return b == '\x7E'; }));
    // More room than the image: only the image is filled.
    length = static_cast<unsigned int>(buffer.size());
    ASSERT_TRUE(sdk.GetSensorFlash(handle, *address, buffer.data(), &length));
    EXPECT_EQ(length, c.image.size());
    EXPECT_TRUE(std::equal(c.image.begin(), c.image.end(), reinterpret_cast<const std::uint8_t*>(buffer.data())));
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(c.image.size()), buffer.end(),
                            [](char b) { return b == '\x7E'; }));

    const SimHub::Bytes written = Rewritten(c.image);
    ASSERT_TRUE(sdk.SetSensorFlash(handle, *address, written.data(), static_cast<int>(written.size())));
    EXPECT_EQ(sim->Flash(0), written);
    EXPECT_EQ(Read(handle, *address), written);
  } else {
    unsigned int length = 0;
    EXPECT_FALSE(sdk.GetSensorFlash(handle, 1, nullptr, &length));
    EXPECT_EQ(length, 0u);
    const SimHub::Bytes written = Rewritten(c.image);
    EXPECT_FALSE(sdk.SetSensorFlash(handle, 1, written.data(), static_cast<int>(written.size())));
    EXPECT_EQ(sim->Flash(0), c.image);
  }
  EXPECT_TRUE(sdk.CloseDevice(handle));
  EXPECT_FALSE(sdk.CloseDevice(handle));
}

const std::string kDkv6 = "QN DKv6 IMU Mar 12 2019";
const std::string kDkv4 = "QN DKv4 IMU Jan 10 2018";

INSTANTIATE_TEST_SUITE_P(
    Table, HubKinds,
    ::testing::Values(
        // Bus address in the 16-bit word at 6.
        HubCase{"UsbCuDkv6", SimHub::HubKind::UsbCu, "usbcu", kDkv6, Image(2048, 7, 1234, 3), 7},
        // The 16-bit word names no probed address; the 32-bit word at 8 does.
        HubCase{"UsbCuDkv4", SimHub::HubKind::UsbCu, "usbcu", kDkv4, Image(512, 300, 12, 9), 12},
        HubCase{"DongleDkv6", SimHub::HubKind::Dongle, "dongle", kDkv6, Image(2048, 7, 1234, 5), 1},
        HubCase{"DongleDkv4", SimHub::HubKind::Dongle, "dongle", kDkv4, Image(512, 0, 0, 11), 1}),
    [](const ::testing::TestParamInfo<HubCase>& info) { return std::string(info.param.name); });

// A write counts only once the sensor acknowledged it and read back exactly
// the image; anything else fails and keeps the cached image.
struct WriteFault {
  const char* name;
  SimHub::Fault fault;
  bool sensorChanged;  // whether the sensor's image changed nonetheless
};

std::ostream& operator<<(std::ostream& out, const WriteFault& c) { return out << c.name; }

struct FaultCase {
  HubCase hub;
  WriteFault fault;
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.hub << c.fault; }

class FlashWriteFaults : public HostHub, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashWriteFaults, ReportFailureAndKeepTheCachedImage) {
  const FaultCase& c = GetParam();
  Start(c.hub.kind, c.hub.identity, c.hub.image);
  const int handle = Open(c.hub.device);
  ASSERT_GE(handle, 0);
  const int address = *c.hub.busAddress;

  sim->InjectFault(c.fault.fault);
  const SimHub::Bytes written = Rewritten(c.hub.image);
  EXPECT_FALSE(sdk.SetSensorFlash(handle, address, written.data(), static_cast<int>(written.size())));
  EXPECT_EQ(sim->Flash(0), c.fault.sensorChanged ? written : c.hub.image);
  EXPECT_EQ(Read(handle, address), c.hub.image);
  EXPECT_TRUE(sdk.CloseDevice(handle));
}

std::vector<FaultCase> FaultCases() {
  const std::vector<HubCase> hubs{
      {"UsbCu", SimHub::HubKind::UsbCu, "usbcu", kDkv6, Image(2048, 7, 1234, 3), 7},
      {"Dongle", SimHub::HubKind::Dongle, "dongle", kDkv4, Image(512, 0, 0, 11), 1},
  };
  const std::vector<WriteFault> faults{
      {"NoAcknowledgement", SimHub::Fault::NoWriteAck, true},
      {"Refused", SimHub::Fault::WriteRefused, false},
      {"ShortReadBack", SimHub::Fault::ShortFlashRead, true},
      {"LongReadBack", SimHub::Fault::LongFlashRead, true},
  };
  std::vector<FaultCase> cases;
  for (const auto& hub : hubs)
    for (const auto& fault : faults) cases.push_back({hub, fault});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, FlashWriteFaults, ::testing::ValuesIn(FaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.hub.name) + info.param.fault.name;
                         });

// Images that no write frame can carry whole never reach the sensor.
TEST_F(HostHub, ImagesThatNoFrameCarriesAreRefusedUnsent) {
  const SimHub::Bytes image = Image(512, 0, 0, 11);
  Start(SimHub::HubKind::Dongle, kDkv4, image);
  const int handle = Open("dongle");
  ASSERT_GE(handle, 0);
  for (const std::size_t size : {std::size_t{511}, std::size_t{16378}}) {
    SCOPED_TRACE(size);
    const SimHub::Bytes written(size, 0x42);
    EXPECT_FALSE(sdk.SetSensorFlash(handle, 1, written.data(), static_cast<int>(written.size())));
  }
  const auto requests = sim->RequestsReceived();
  EXPECT_TRUE(std::none_of(requests.begin(), requests.end(), [](const SimHub::Bytes& frame) {
    return frame.size() > 5 && frame[5] == 0x06;
  }));
  EXPECT_EQ(Read(handle, 1), image);
  EXPECT_TRUE(sdk.CloseDevice(handle));
  EXPECT_TRUE(Logged("flash image of 511 bytes is not whole words: not written"));
  EXPECT_TRUE(Logged("flash image of 16378 bytes is longer than a frame carries (16376): not written"));
}

}  // namespace
