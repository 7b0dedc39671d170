// Device sets over TCP and UDP through the exported functions, against the
// simulated hub on 127.0.0.1: what a host sees must not depend on the line.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;

constexpr int kCom = 5;
constexpr int kLastBusAddress = 254;
constexpr std::size_t kOutputFrameBytes = 16400;
constexpr std::size_t kFramesWanted = 40;
constexpr auto kLimit = 10s;  // bound of every wait for something that must happen

enum class Line { Pty, Tcp, Udp };

const char* Name(Line line) {
  switch (line) {
    case Line::Pty:
      return "pty";
    case Line::Tcp:
      return "tcp";
    case Line::Udp:
      return "udp";
  }
  return "";
}

SimHub::Bytes Image(std::uint8_t busAddress, std::uint8_t seed) {
  SimHub::Bytes image(2048);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(seed + 5 * i);
  image[6] = busAddress;
  image[7] = 0;
  return image;
}

// What a host learns of one device set.
struct Seen {
  std::string hubId;
  std::map<int, std::string> sensorIds;  // by bus address
  std::map<std::uint16_t, std::vector<std::uint8_t>> frames;  // output frames by their counter
};

// Keeps of every output frame what the line decides.
class Collector {
 public:
  explicit Collector(bool attitudeCorrected) : attitudeCorrected_(attitudeCorrected) {}

  static void Keep(void* frame, void* user) {
    auto& self = *static_cast<Collector*>(user);
    const auto* bytes = static_cast<const std::uint8_t*>(frame);
    std::uint16_t counter;
    std::memcpy(&counter, bytes, sizeof counter);
    std::vector<std::uint8_t> kept(bytes, bytes + kOutputFrameBytes);
    // The attitude correction stamps a raw sensor's record with the time of
    // the run, which no two runs share. Its quaternion follows from every
    // frame it has processed since the open, and how many of those came
    // before the host's callback is a matter of timing.
    for (std::size_t record = 16; record < kOutputFrameBytes; record += 512) {
      std::fill_n(kept.begin() + static_cast<std::ptrdiff_t>(record + 456), 4, 0);
      if (self.attitudeCorrected_) std::fill_n(kept.begin() + static_cast<std::ptrdiff_t>(record + 160), 32, 0);
    }
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.frames_.emplace(counter, std::move(kept));
  }
  bool WaitFor(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (Count() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return Count() >= count;
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }
  std::map<std::uint16_t, std::vector<std::uint8_t>> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  const bool attitudeCorrected_;
  std::mutex mutex_;
  std::map<std::uint16_t, std::vector<std::uint8_t>> frames_;
};

class OverNetwork : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  // Starts the simulated hub on the line; the parameter text that reaches it.
  std::string Serve(SimHub::SimulatedHub& sim, Line line) {
    if (line == Line::Pty) {
      sim.AttachPty(scratch.Path(), kCom);
      return "com=" + std::to_string(kCom);
    }
    const auto protocol = line == Line::Tcp ? SimHub::Protocol::Tcp : SimHub::Protocol::Udp;
    // A free local port: the one below the hub's may be taken.
    return "ip=127.0.0.1;port=" + std::to_string(sim.AttachNetwork(protocol)) + ";localport=0";
  }

  static std::string Device(const std::string& words, Line line) {
    if (line == Line::Pty) return words;
    return words.empty() ? Name(line) : words + " " + Name(line);
  }

  std::size_t Logged(const std::string& text) const {
    std::istringstream log(scratch.Read("quenlith_sdk_lite.txt"));
    std::size_t count = 0;
    for (std::string record; std::getline(log, record);) count += record.find(text) != std::string::npos;
    return count;
  }

  ScratchDirectory scratch;
  SdkLibrary sdk;
};

struct KindCase {
  const char* name;
  SimHub::HubKind kind;
  const char* words;  // of "device", without the line's
  std::size_t sensors;
  bool attitudeCorrected;  // raw data: the quaternions come from the attitude correction
};

std::ostream& operator<<(std::ostream& out, const KindCase& c) { return out << c.name; }

class HubsOverNetwork : public OverNetwork, public ::testing::WithParamInterface<KindCase> {
 protected:
  Seen Observe(Line line) {
    const KindCase& c = GetParam();
    SimHub::HubOptions options;
    options.kind = c.kind;
    for (std::size_t i = 0; i < c.sensors; ++i)
      options.sensors.push_back(
          {"QN DKv6 IMU Mar 12 2019 #" + std::to_string(i), Image(static_cast<std::uint8_t>(3 + i), static_cast<std::uint8_t>(i)), {}});
    SimHub::SimulatedHub sim(std::move(options));
    // The same read time-out on every line, long enough that a busy machine
    // does not make a sensor's late answer count as no sensor.
    const std::string parameters = "device=" + Device(c.words, line) + ";" + Serve(sim, line) +
                                   ";transmissiontimeout=1000;debugOutputLevel=0";
    Seen seen;
    const int handle = sdk.CreateDevice(1, "none.ini", parameters.c_str());
    EXPECT_GE(handle, 0) << parameters;
    if (handle < 0) return seen;

    Collector collector(c.attitudeCorrected);
    sdk.SetReceiveDataCallback(handle, &Collector::Keep, &collector);
    char text[128];
    seen.hubId.assign(text, static_cast<std::size_t>(sdk.GetHubId(handle, text, sizeof text)));
    for (int address = 0; address <= kLastBusAddress; ++address) {
      const int length = sdk.GetSensorId(handle, address, text, sizeof text);
      if (length > 0) seen.sensorIds[address].assign(text, static_cast<std::size_t>(length));
    }
    EXPECT_TRUE(collector.WaitFor(kFramesWanted)) << collector.Count() << " frames over " << Name(line);
    EXPECT_TRUE(sdk.CloseDevice(handle));
    seen.frames = collector.Frames();
    return seen;
  }
};

TEST_P(HubsOverNetwork, OpenAndStreamAsOverThePty) {
  const Seen pty = Observe(Line::Pty);
  ASSERT_FALSE(pty.hubId.empty());
  ASSERT_GE(pty.frames.size(), kFramesWanted);
  for (const Line line : {Line::Tcp, Line::Udp}) {
    SCOPED_TRACE(Name(line));
    const Seen seen = Observe(line);
    EXPECT_EQ(seen.hubId, pty.hubId);
    EXPECT_EQ(seen.sensorIds, pty.sensorIds);
    // Both runs start their counters afresh, so most frames meet their twin.
    std::size_t compared = 0;
    for (const auto& [counter, frame] : seen.frames) {
      const auto twin = pty.frames.find(counter);
      if (twin == pty.frames.end()) continue;
      ++compared;
      EXPECT_TRUE(frame == twin->second) << "frame " << counter << " differs";
    }
    EXPECT_GE(compared, kFramesWanted / 2);
  }
  EXPECT_EQ(Logged("socket read"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HubsOverNetwork,
    ::testing::Values(KindCase{"BsMain", SimHub::HubKind::BsMain, "bsmain quat", 3, false},
                      KindCase{"Dongle", SimHub::HubKind::Dongle, "dongle quat", 1, false},
                      KindCase{"UsbCu", SimHub::HubKind::UsbCu, "usbcu quat", 3, false},
                      // Unnamed: identified first, then the line is opened anew for the hub.
                      KindCase{"UnnamedUsbCu", SimHub::HubKind::UsbCu, "", 2, true}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(OverNetwork, APeerThatHangsUpMidStreamIsLoggedOnceAndClosesPromptly) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  options.sensors.push_back({"QN DKv6 IMU Mar 12 2019", Image(3, 1), {}});
  SimHub::SimulatedHub sim(std::move(options));
  const std::string parameters =
      "device=usbcu quat tcp;" + Serve(sim, Line::Tcp) + ";transmissiontimeout=100;debugOutputLevel=0";
  const int handle = sdk.CreateDevice(1, "none.ini", parameters.c_str());
  ASSERT_GE(handle, 0);
  Collector collector(false);
  sdk.SetReceiveDataCallback(handle, &Collector::Keep, &collector);
  ASSERT_TRUE(collector.WaitFor(10));

  // Half a frame, then the connection is gone.
  sim.InjectFault(SimHub::Fault::DropLine);
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (Logged("<error> <hw> socket read error: ") == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  // Ten time-outs' worth: a stream thread that spun or logged every pass would show here.
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(Logged("socket read"), 1u);
  EXPECT_EQ(Logged("<error> <hw> socket read error: End of file"), 1u);

  auto close = std::async(std::launch::async, [&] { return sdk.CloseDevice(handle); });
  ASSERT_EQ(close.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(close.get());
}

// Opening fails with the transport's reason and nothing escapes the call.
TEST_F(OverNetwork, FailedOpensReturnMinusOneWithTheirReason) {
  struct Case {
    const char* parameters;
    const char* record;
  };
  const Case cases[] = {
      {"device=bsmain tcp;ip=127.0.0.1;port=1", "<error> <hw> connection failed: Connection refused"},
      {"device=usbcu tcp;ip=hub.local", "<error> <hw> cann't open socket: invalid ip hub.local"},
      {"device=udp;localip=localhost", "<error> <hw> cann't open socket: invalid localip localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameters);
    const std::size_t before = Logged(c.record);
    EXPECT_EQ(sdk.CreateDevice(1, "none.ini", (std::string(c.parameters) + ";debugOutputLevel=0").c_str()), -1);
    EXPECT_EQ(Logged(c.record), before + 1);
  }
  EXPECT_EQ(Logged("iQuenlith_SDK_Lite_CreateDevice failed"), 0u) << "an exception reached the exported function";
}

}  // namespace
