// Every hub kind through the exported functions, as the flash tool uses them:
// open, find the sensor by probing bus addresses, read its flash image, write
// a new one, close; and the flash writes that must not report success.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "simhub/SimulatedHub.h"

namespace {

constexpr int kCom = 4;
constexpr int kLastBusAddress = 254;
constexpr std::size_t kOutputFrameBytes = 16400;

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

// A DKv4 image whose factory field backup is in place (marker 0x6969 at 356),
// as a calibrated sensor's is: loading its calibration leaves it as it is.
constexpr std::size_t kFieldBackupMarker = 356;
SimHub::Bytes WithFieldBackup(SimHub::Bytes image) {
  image[kFieldBackupMarker] = 0x69;
  image[kFieldBackupMarker + 1] = 0x69;
  return image;
}

// The same image with every byte but the identifier words and the field
// backup marker changed.
SimHub::Bytes Rewritten(SimHub::Bytes image) {
  for (std::size_t i = 0; i < image.size(); ++i)
    if ((i < 6 || i >= 12) && (i < kFieldBackupMarker || i > kFieldBackupMarker + 1))
      image[i] = static_cast<std::uint8_t>(image[i] ^ 0x5A);
  return image;
}

struct HubCase {
  const char* name;
  std::optional<SimHub::HubKind> kind;  // none: nothing on the line
  const char* device;
  std::string identity;
  SimHub::Bytes image;
  // The bus address the sensor answers to; none for the kinds that answer none.
  std::optional<int> busAddress;
  std::string hubId;  // as iQuenlith_SDK_Lite_GetHubId reports it
};

std::ostream& operator<<(std::ostream& out, const HubCase& c) { return out << c.name; }

class HostHub : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  void Start(std::optional<SimHub::HubKind> kind, const std::string& identity, const SimHub::Bytes& image) {
    if (!kind) return;
    SimHub::HubOptions options;
    options.kind = *kind;
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
  char id[128];
  EXPECT_EQ(std::string(id, static_cast<std::size_t>(sdk.GetHubId(handle, id, sizeof id))), c.hubId);

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
    if (sim) {
      EXPECT_EQ(sim->Flash(0), c.image);
    }
  }

  // Only the emulator processes frames the host hands in.
  std::vector<std::uint8_t> buffer(kOutputFrameBytes, 0);
  const SimHub::Bytes raw = SimHub::Frame(0x0210, SimHub::Bytes{1, 0, 2, 0, 1, 0, 0, 0, 9, 9});
  std::copy(raw.begin(), raw.end(), buffer.begin());
  EXPECT_EQ(sdk.ProcessData(handle, buffer.data()), !c.kind);
  EXPECT_TRUE(sdk.CloseDevice(handle));
  EXPECT_FALSE(sdk.CloseDevice(handle));
}

const std::string kDkv6 = "QN DKv6 IMU Mar 12 2019";
const std::string kDkv4 = "QN DKv4 IMU Jan 10 2018";
// A USB CU hub takes the identity it reports as its id.
const std::string kCuId = SimHub::DefaultIdentity(SimHub::HubKind::UsbCu);

INSTANTIATE_TEST_SUITE_P(
    Table, HubKinds,
    ::testing::Values(
        // Bus address in the 16-bit word at 6.
        HubCase{"UsbCuDkv6", SimHub::HubKind::UsbCu, "usbcu", kDkv6, Image(2048, 7, 1234, 3), 7, kCuId},
        // The 16-bit word names no probed address; the 32-bit word at 8 does.
        HubCase{"UsbCuDkv4", SimHub::HubKind::UsbCu, "usbcu", kDkv4, WithFieldBackup(Image(512, 300, 12, 9)), 12,
                kCuId},
        HubCase{"DongleDkv6", SimHub::HubKind::Dongle, "dongle", kDkv6, Image(2048, 7, 1234, 5), 1, "USB_Dongle"},
        HubCase{"DongleDkv4", SimHub::HubKind::Dongle, "dongle", kDkv4, WithFieldBackup(Image(512, 0, 0, 11)), 1,
                "USB_Dongle"},
        // Unnamed: the hub kind follows from the identity the hub reports.
        HubCase{"UnnamedUsbCu", SimHub::HubKind::UsbCu, "", kDkv6, Image(2048, 9, 5000, 4), 9, kCuId},
        HubCase{"UnnamedDongle", SimHub::HubKind::Dongle, "", kDkv4, WithFieldBackup(Image(512, 0, 0, 6)), 1,
                "USB_Dongle"},
        // The kinds that answer no bus address.
        HubCase{"Stream", SimHub::HubKind::Stream, "stream", kDkv6, Image(512, 1, 1, 2), std::nullopt, "Stream"},
        HubCase{"QnSdk", SimHub::HubKind::QnSdk, "sdk", kDkv6, Image(512, 1, 1, 2), std::nullopt, "QNSDK"},
        HubCase{"Emulator", std::nullopt, "emulator", kDkv6, Image(512, 1, 1, 2), std::nullopt, "Emulator"}),
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
      {"UsbCu", SimHub::HubKind::UsbCu, "usbcu", kDkv6, Image(2048, 7, 1234, 3), 7, kCuId},
      {"Dongle", SimHub::HubKind::Dongle, "dongle", kDkv4, WithFieldBackup(Image(512, 0, 0, 11)), 1, "USB_Dongle"},
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
  const SimHub::Bytes image = WithFieldBackup(Image(512, 0, 0, 11));
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

namespace {

// The output frame as the host reads it.
struct OutputFrame {
  std::uint16_t counter;
  std::uint16_t rawHubWord;
  std::uint32_t mask;
  double rawHubValue;
  struct Record {
    double uncalibrated[9];
    std::uint8_t reserved[8];
    double acceleration[3];
    double angularRate[3];
    double magneticField[3];
    double temperature;
    double quaternion[4];
    double quaternionExtra;
    std::uint8_t payload[256];
    std::uint32_t words[6];
    std::uint8_t reserved480[32];
  } records[32];
};
static_assert(sizeof(OutputFrame) == kOutputFrameBytes);

double RawHubValue(std::uint16_t word) { return (word / 1986.0 - 6.1) * 100 / 2.3; }

// The emulator processes a copy of the raw frame into the same buffer: the
// header from the frame's header; what processing does not write stays as given
// (the blocks of positions without a sensor here; the emulator's sensor models
// are tested with the processing's data path).
TEST_F(HostHub, TheEmulatorProcessesTheFramesItIsHanded) {
  const int handle = Open("emulator");
  ASSERT_GE(handle, 0);
  SimHub::Bytes data;
  for (const std::uint16_t word : {0x1234, 4000, 0x0005, 0x0008}) {
    data.push_back(static_cast<std::uint8_t>(word & 0xFF));
    data.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  data.resize(data.size() + 20 * 20, 0x11);
  const SimHub::Bytes raw = SimHub::Frame(0x0210, data);
  std::vector<std::uint8_t> buffer(kOutputFrameBytes + 8, 0xEE);
  std::copy(raw.begin(), raw.end(), buffer.begin());
  const std::vector<std::uint8_t> given = buffer;

  ASSERT_TRUE(sdk.ProcessData(handle, buffer.data()));
  OutputFrame out;
  std::memcpy(&out, buffer.data(), sizeof out);
  EXPECT_EQ(out.counter, 0x1234);
  EXPECT_EQ(out.rawHubWord, 4000);
  EXPECT_EQ(out.mask, 0x00080005u);
  EXPECT_DOUBLE_EQ(out.rawHubValue, RawHubValue(4000));
  constexpr std::ptrdiff_t kFirstFreeBlock = 16 + 512 * 20;
  EXPECT_TRUE(std::equal(buffer.begin() + kFirstFreeBlock, buffer.end(), given.begin() + kFirstFreeBlock));

  // A frame without sensors or no data frame at all: nothing to process.
  for (const SimHub::Bytes& other : {SimHub::Frame(0x0210, SimHub::Bytes(10, 0)), SimHub::Bytes(4, 0)}) {
    std::fill(buffer.begin(), buffer.end(), 0);
    std::copy(other.begin(), other.end(), buffer.begin());
    EXPECT_FALSE(sdk.ProcessData(handle, buffer.data()));
  }
  EXPECT_TRUE(sdk.CloseDevice(handle));
}

// Data frames of each streaming kind reach the host's callback in the shape
// processing reads: the frames seen are checked against the simulator's content.
class Received {
 public:
  static void Callback(void* frame, void* user) {
    auto* self = static_cast<Received*>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    OutputFrame copy;
    std::memcpy(&copy, frame, sizeof copy);
    self->frames_.push_back(copy);
  }
  std::vector<OutputFrame> Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<OutputFrame> frames_;
};

struct StreamCase {
  const char* name;
  SimHub::HubKind kind;
  const char* device;
  std::size_t sensors;
  void (*check)(const OutputFrame& frame);
};

std::ostream& operator<<(std::ostream& out, const StreamCase& c) { return out << c.name; }

double Signed(std::uint16_t word) { return static_cast<std::int16_t>(word); }

class HubDataPath : public HostHub, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(HubDataPath, FramesReachTheCallbackInShape) {
  const StreamCase& c = GetParam();
  SimHub::HubOptions options;
  options.kind = c.kind;
  for (std::size_t i = 0; i < c.sensors; ++i)
    options.sensors.push_back(SimHub::SimSensor{"QN DKv6 " + std::to_string(i), Image(64, 1 + i, 0, 1), {}});
  sim.emplace(std::move(options));
  sim->AttachPty(scratch.Path(), kCom);
  const int handle = Open(c.device);
  ASSERT_GE(handle, 0);
  Received received;
  ASSERT_TRUE(sdk.SetReceiveDataCallback(handle, &Received::Callback, &received));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (received.Frames().size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(sdk.CloseDevice(handle));
  const auto frames = received.Frames();
  ASSERT_GE(frames.size(), 3u);
  for (const auto& frame : frames) c.check(frame);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HubDataPath,
    ::testing::Values(
        // Positions from the slot mask, the raw hub word moved in front of it.
        StreamCase{"UsbCu", SimHub::HubKind::UsbCu, "usbcu", 3,
                   [](const OutputFrame& frame) {
                     EXPECT_EQ(frame.mask, 0b111u);
                     EXPECT_EQ(frame.rawHubWord, static_cast<std::uint16_t>(frame.counter * 3));
                     EXPECT_DOUBLE_EQ(frame.rawHubValue, RawHubValue(frame.rawHubWord));
                   }},
        StreamCase{"Dongle", SimHub::HubKind::Dongle, "dongle", 1,
                   [](const OutputFrame& frame) {
                     EXPECT_EQ(frame.mask, 1u);
                     EXPECT_EQ(frame.rawHubWord, 0);
                   }},
        // The fixed sensor's block lands where its model reads it.
        StreamCase{"Stream", SimHub::HubKind::Stream, "stream", 1,
                   [](const OutputFrame& frame) {
                     EXPECT_EQ(frame.mask, 1u);
                     for (int axis = 0; axis < 3; ++axis)
                       EXPECT_DOUBLE_EQ(frame.records[0].acceleration[axis],
                                        Signed(SimHub::SyntheticWord(frame.counter, 0, 6 + axis)) * -(1.0 / 16384));
                   }},
        // Each record's floats, the header word passed on.
        StreamCase{"QnSdk", SimHub::HubKind::QnSdk, "sdk", 2,
                   [](const OutputFrame& frame) {
                     EXPECT_EQ(frame.mask, 0b11u);
                     for (int r = 0; r < 2; ++r) {
                       const auto counter = static_cast<std::uint16_t>(frame.records[r].words[0]);
                       for (int axis = 0; axis < 3; ++axis) {
                         EXPECT_EQ(frame.records[r].acceleration[axis], SimHub::SdkRecordValue(counter, r, axis));
                         EXPECT_EQ(frame.records[r].angularRate[axis], SimHub::SdkRecordValue(counter, r, 3 + axis));
                       }
                     }
                   }}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

}  // namespace
