// A raw-data sensor's frames from a simulated hub through the loaded library
// and its sensor model to the host's callback.

#include <stdlib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>
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

// A dongle on COM kCom with one raw DKv6 sensor that holds the worked image
// and sends the worked frame, over and over.
class WorkedDongle {
 public:
  WorkedDongle() : hub_(Options()) {
    setenv("QUENLITH_TTY_DIR", scratch_.Path().c_str(), 1);
    hub_.AttachPty(scratch_.Path(), kCom);
  }

 private:
  static SimHub::HubOptions Options() {
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::Dongle;
    options.sensors.push_back({"QN DKv6 sensor V3.01 Mar 12 2019", ModelImages::Image(ModelImages::Worked()), {}});
    options.dataFrameHook = [](SimHub::DataFrameContent& content) {
      content.blocks = ModelImages::WordBytes(ModelImages::WorkedWords());
    };
    return options;
  }

  ScratchDirectory scratch_;
  SimHub::SimulatedHub hub_;
};

TEST(ModelDataPath, DKv6OnADongleReachesTheHostCalibrated) {
  WorkedDongle dongle;
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

Eigen::Quaterniond AttitudeOf(const Bytes& frame) {
  const std::size_t at = Record(0) + 160;  // x, y, z, w
  return Eigen::Quaterniond(DoubleAt(frame.data(), at + 24), DoubleAt(frame.data(), at), DoubleAt(frame.data(), at + 8),
                            DoubleAt(frame.data(), at + 16));
}

bool IsIdentity(const Eigen::Quaterniond& q) { return q.coeffs() == Eigen::Vector4d(0, 0, 0, 1); }

// With "processing" holding kalman the worked frame's calibrated values go on
// to the Kalman filter. Held still, they put gravity at (0, 0, -1) and gravity
// x field at (1, 0, 0) under the attitude below (mekf_poses.py); a turn of 151
// deg, which the alignment finds exactly. A reset of mode 2 configures the
// filter again: exactly 100 frames of (0, 0, 0, 1) follow, then the attitude.
TEST(ModelDataPath, DKv6WithTheKalmanFilterGetsItsAttitudeAfter100Frames) {
  const Eigen::Quaterniond expected(0.248660008604513, 0.8067382145951327, 0.5203822923135732, -0.1286231825105102);
  WorkedDongle dongle;
  SdkLibrary sdk;
  const int handle = sdk.CreateDevice(
      1, "none.ini", ("device=dongle raw;processing=kalman;Frequency=100;com=" + std::to_string(kCom)).c_str());
  ASSERT_GE(handle, 0);
  Frames frames;
  ASSERT_TRUE(sdk.SetReceiveDataCallback(handle, &Frames::Keep, &frames));

  const auto waitFor = [&](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done(frames.Seen()) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return done(frames.Seen());
  };
  const bool estimated = waitFor([](const std::vector<Bytes>& seen) {
    return !seen.empty() && !IsIdentity(AttitudeOf(seen.back()));
  });
  EXPECT_TRUE(estimated) << "no attitude after the first alignment";
  ASSERT_TRUE(sdk.Reset(handle, 2, 0));
  const std::size_t atReset = frames.Seen().size();
  EXPECT_TRUE(waitFor([&](const std::vector<Bytes>& seen) { return seen.size() >= atReset + 150; }));
  EXPECT_TRUE(sdk.CloseDevice(handle));

  const auto seen = frames.Seen();
  std::size_t identities = 0;  // in a row
  std::vector<std::size_t> alignments;  // frames of (0, 0, 0, 1) before each attitude after one
  for (const auto& frame : seen) {
    const Eigen::Quaterniond q = AttitudeOf(frame);
    if (IsIdentity(q)) {
      ++identities;
      continue;
    }
    EXPECT_LE(q.angularDistance(expected), 1e-9)
        << "frame " << U16At(frame.data(), 0) << ": q = " << q.coeffs().transpose();
    if (identities > 0) alignments.push_back(identities);
    identities = 0;
  }
  // The first alignment may have begun before the callback was set.
  ASSERT_EQ(alignments.size(), 2u);
  EXPECT_LE(alignments[0], 100u);
  EXPECT_EQ(alignments[1], 100u) << "frames of (0, 0, 0, 1) after the reset";
}

}  // namespace
