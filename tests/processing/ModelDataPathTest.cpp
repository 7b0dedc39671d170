// A raw-data sensor's frames from a simulated hub through the loaded library
// and its sensor model to the host's callback.

#include <stdlib.h>

#include <chrono>
#include <cmath>
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

// At least `count` frames that a set of the simulated hub's kind hands to the
// host's callback; none when the set does not open.
std::vector<Bytes> FramesOf(const SimHub::HubOptions& options, const std::string& deviceWords, std::size_t count) {
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  SimHub::SimulatedHub hub(options);
  hub.AttachPty(scratch.Path(), kCom);

  SdkLibrary sdk;
  const std::string parameters = "device=" + deviceWords + ";com=" + std::to_string(kCom);
  const int handle = sdk.CreateDevice(1, "none.ini", parameters.c_str());
  if (handle < 0) return {};
  Frames frames;
  EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, &Frames::Keep, &frames));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (frames.Seen().size() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(sdk.CloseDevice(handle));
  return frames.Seen();
}

TEST(ModelDataPath, DKv6OnADongleReachesTheHostCalibrated) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back({"QN DKv6 sensor V3.01 Mar 12 2019", ModelImages::Image(ModelImages::Worked()), {}});
  options.dataFrameHook = [](SimHub::DataFrameContent& content) {
    content.blocks = ModelImages::WordBytes(ModelImages::WorkedWords());
  };
  const auto seen = FramesOf(options, "dongle raw", 3);
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
    // The attitude correction after the model writes the orientation and its
    // time stamp, and nothing else.
    double squaredNorm = 0;
    for (std::size_t i = 0; i < 4; ++i) squaredNorm += std::pow(DoubleAt(frame.data(), record + 160 + 8 * i), 2);
    EXPECT_NEAR(squaredNorm, 1, 1e-12) << counter;
    EXPECT_TRUE(AllZero(frame.data(), record + 192, 456 - 192)) << counter;
    EXPECT_TRUE(AllZero(frame.data(), record + 460, 512 - 460)) << counter;
    EXPECT_TRUE(AllZero(frame.data(), Record(1), 31 * 512)) << counter;
  }
}

// Behind a USB CU hub, the sensor of every raw-data model gets the attitude of
// the PI correction that follows the model: a unit quaternion, stamped.
TEST(ModelDataPath, EverySensorOfAModelGetsItsOrientation) {
  const std::vector<const char*> identities{"QN DKv5 sensor Jan 10 2018", "QN DKv6 sensor V3.01 Mar 12 2019",
                                            "QN DKv7m2 Feb 24 2020"};  // slots 0, 1, 2
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  for (const char* identity : identities)
    options.sensors.push_back({identity, ModelImages::Image(ModelImages::Worked()), {}});
  const auto seen = FramesOf(options, "usbcu raw", 5);
  ASSERT_GE(seen.size(), 5u);
  std::vector<std::uint32_t> lastStamp(identities.size(), 0);
  for (const auto& frame : seen) {
    ASSERT_EQ(U32At(frame.data(), 4), 0b111u);
    for (std::size_t k = 0; k < identities.size(); ++k) {
      const std::size_t record = Record(k);
      double squaredNorm = 0;
      for (std::size_t i = 0; i < 4; ++i) squaredNorm += std::pow(DoubleAt(frame.data(), record + 160 + 8 * i), 2);
      EXPECT_NEAR(squaredNorm, 1, 1e-12) << identities[k];
      const auto stamp = U32At(frame.data(), record + 456);
      EXPECT_GE(stamp, lastStamp[k]) << identities[k];
      lastStamp[k] = stamp;
    }
  }
}

}  // namespace
