// Frames from a simulated base-station hub through the loaded library to the
// host's callback, as a host sees them.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "TestFrames.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using namespace TestFrames;

constexpr int kCom = 7;
constexpr int kSensors = 20;
constexpr auto kLimit = 10s;  // bound of every wait for something that must happen

// What the host keeps of one frame.
struct Seen {
  std::uint16_t counter;
  std::uint16_t rawWord;
  std::uint32_t mask;
  double rawValue;
  std::vector<double> quaternions;  // x, y, z, w and the further value of each position 0 to 31
};

class DataPath : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
    SimHub::HubOptions options;
    options.formatCode = 1000;  // the host asks for quaternions on opening
    options.sensors.resize(kSensors);
    // Every fourth frame carries no sensor, which the manager rejects.
    options.dataFrameHook = [](SimHub::DataFrameContent& content) {
      if (content.counter % 4 == 2) content.mask = 0;
    };
    hub = std::make_unique<SimHub::SimulatedHub>(options);
    hub->AttachPty(scratch.Path(), kCom);
    sdk = std::make_unique<SdkLibrary>();
    handle = sdk->CreateDevice(1, "none.ini", ("device=bsmain quat;com=" + std::to_string(kCom)).c_str());
    ASSERT_GE(handle, 0);
  }

  void TearDown() override {
    if (handle >= 0) {
      EXPECT_TRUE(sdk->CloseDevice(handle));
    }
    sdk.reset();
    hub.reset();
  }

  static void Keep(void* frame, void* user) {
    auto& self = *static_cast<DataPath*>(user);
    Seen seen{U16At(frame, 0), U16At(frame, 2), U32At(frame, 4), DoubleAt(frame, 8), {}};
    for (std::size_t k = 0; k < 32; ++k)
      for (std::size_t i = 0; i < 5; ++i) seen.quaternions.push_back(DoubleAt(frame, Record(k) + 160 + 8 * i));
    std::lock_guard<std::mutex> lock(self.mutex);
    self.frames.push_back(std::move(seen));
  }

  std::vector<Seen> Frames() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
  }

  bool WaitForFrames(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (Frames().size() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return Frames().size() >= count;
  }

  ScratchDirectory scratch;
  std::unique_ptr<SimHub::SimulatedHub> hub;
  std::unique_ptr<SdkLibrary> sdk;
  int handle = -1;

  std::mutex mutex;
  std::vector<Seen> frames;
};

double Scaled(std::uint16_t counter, int position, int word) {
  return static_cast<std::int16_t>(SimHub::SyntheticWord(counter, position, word)) / 32768.0;
}

TEST_F(DataPath, QuaternionFramesReachTheCallbackWithTheirHeader) {
  ASSERT_TRUE(sdk->SetReceiveDataCallback(handle, &DataPath::Keep, this));
  ASSERT_TRUE(WaitForFrames(12));
  ASSERT_TRUE(sdk->SetReceiveDataCallback(handle, nullptr, nullptr));

  for (const auto& frame : Frames()) {
    const auto c = frame.counter;
    EXPECT_NE(c % 4, 2) << "a frame the manager rejected reached the callback";
    EXPECT_EQ(frame.rawWord, static_cast<std::uint16_t>(c * 3)) << c;
    EXPECT_EQ(frame.mask, (1u << kSensors) - 1) << c;
    EXPECT_EQ(frame.rawValue, (frame.rawWord / 1986.0 - 6.1) * 100 / 2.3) << c;
    for (int p = 0; p < 32; ++p) {
      const double* q = &frame.quaternions[5 * static_cast<std::size_t>(p)];
      if (p >= kSensors) {
        for (int i = 0; i < 5; ++i) EXPECT_EQ(q[i], 0.0) << "frame " << c << ", position " << p;
        continue;
      }
      EXPECT_EQ(q[0], Scaled(c, p, 1)) << "frame " << c << ", position " << p << ": x";
      EXPECT_EQ(q[1], Scaled(c, p, 2)) << "frame " << c << ", position " << p << ": y";
      EXPECT_EQ(q[2], Scaled(c, p, 3)) << "frame " << c << ", position " << p << ": z";
      EXPECT_EQ(q[3], Scaled(c, p, 0)) << "frame " << c << ", position " << p << ": w";
      EXPECT_EQ(q[4], Scaled(c, p, 4)) << "frame " << c << ", position " << p << ": further";
    }
  }
}

std::atomic<int> g_inside{0};
std::atomic<int> g_calls{0};

void SlowCallback(void*, void*) {
  ++g_inside;
  std::this_thread::sleep_for(2ms);
  ++g_calls;
  --g_inside;
}

TEST_F(DataPath, NoCallAfterTheCallbackIsRemoved) {
  ASSERT_TRUE(sdk->SetReceiveDataCallback(handle, &SlowCallback, nullptr));
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (g_calls.load() < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_GE(g_calls.load(), 5);

  ASSERT_TRUE(sdk->SetReceiveDataCallback(handle, nullptr, nullptr));
  EXPECT_EQ(g_inside.load(), 0) << "the callback still runs after its removal returned";
  const int calls = g_calls.load();
  ASSERT_TRUE(hub->WaitForDataFrames(hub->DataFramesSent() + 10, kLimit));
  EXPECT_EQ(g_calls.load(), calls);
}

}  // namespace
