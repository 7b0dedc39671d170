// A raw-data sensor's frames from a simulated hub through the loaded library
// and its sensor model to the host's callback.

#include <stdlib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "TestFrames.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using namespace TestFrames;

constexpr int kCom = 9;

class Frames {
 public:
  static void Keep(void* frame, void* user) {
    auto& self = *static_cast<Frames*>(user);
    const auto* bytes = static_cast<const std::uint8_t*>(frame);
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.frames_.emplace_back(bytes, bytes + 16400);
  }
  std::vector<Bytes> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::vector<Bytes> frames_;
};

TEST(ModelDataPath, DKv6OnADongleReachesTheHostCalibrated) {
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back({"QN DKv6 sensor V3.01 Mar 12 2019", ModelImages::Image(ModelImages::Worked()), {}});
  options.dataFrameHook = [](SimHub::DataFrameContent& content) {
    content.blocks = ModelImages::WordBytes(ModelImages::WorkedWords());
  };
  SimHub::SimulatedHub hub(options);
  hub.AttachPty(scratch.Path(), kCom);

  SdkLibrary sdk;
  const int handle = sdk.CreateDevice(1, "none.ini", ("device=dongle raw;com=" + std::to_string(kCom)).c_str());
  ASSERT_GE(handle, 0);
  Frames frames;
  ASSERT_TRUE(sdk.SetReceiveDataCallback(handle, &Frames::Keep, &frames));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (frames.Seen().size() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(sdk.CloseDevice(handle));

  const auto seen = frames.Seen();
  ASSERT_GE(seen.size(), 3u);
  const auto& expected = ModelImages::kWorkedFrame;
  constexpr double kTolerance = 1e-12;
  for (const auto& frame : seen) {
    const auto counter = U16At(frame.data(), 0);
    EXPECT_EQ(U32At(frame.data(), 4), 1u) << counter;
    const std::size_t record = Record(0);
    for (std::size_t i = 0; i < 9; ++i)
      EXPECT_NEAR(DoubleAt(frame.data(), record + 8 * i), expected.uncalibrated[i], kTolerance) << counter << ", " << i;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(DoubleAt(frame.data(), record + 80 + 8 * i), expected.acceleration[i], kTolerance) << counter;
      EXPECT_NEAR(DoubleAt(frame.data(), record + 104 + 8 * i), expected.angularRate[i], kTolerance) << counter;
      EXPECT_NEAR(DoubleAt(frame.data(), record + 128 + 8 * i), expected.magneticField[i], kTolerance) << counter;
    }
    EXPECT_NEAR(DoubleAt(frame.data(), record + 152), expected.temperature, kTolerance) << counter;
    // No attitude stage follows the model yet.
    EXPECT_TRUE(AllZero(frame.data(), record + 160, 512 - 160)) << counter;
    EXPECT_TRUE(AllZero(frame.data(), Record(1), 31 * 512)) << counter;
  }
}

}  // namespace
