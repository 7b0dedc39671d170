// A raw-data sensor's frames from a simulated hub through the loaded library
// and its sensor model to the host's callback.

#include <stdlib.h>

#include <chrono>
#include <cmath>
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

// A set of the simulated hub's kind open on COM kCom, with the host's callback
// keeping every frame it receives; closed at the latest when it goes.
class OpenSet {
 public:
  OpenSet(const SimHub::HubOptions& options, const std::string& parameters) : hub_(options) {
    setenv("QUENLITH_TTY_DIR", scratch_.Path().c_str(), 1);
    hub_.AttachPty(scratch_.Path(), kCom);
    handle_ = sdk_.CreateDevice(1, "none.ini", (parameters + ";com=" + std::to_string(kCom)).c_str());
    if (handle_ >= 0) {
      EXPECT_TRUE(sdk_.SetReceiveDataCallback(handle_, &Frames::Keep, &frames_));
    }
  }
  ~OpenSet() { Close(); }

  bool Opened() const { return handle_ >= 0; }
  bool Reset(int mode) { return sdk_.Reset(handle_, mode, 0); }
  bool Close() {
    if (handle_ < 0) return false;
    const bool closed = sdk_.CloseDevice(handle_);
    handle_ = -1;
    return closed;
  }
  std::vector<Bytes> Seen() { return frames_.Seen(); }
  // Waits until done(the frames so far), or at most 20 s.
  template <class Done>
  bool WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done(frames_.Seen()) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return done(frames_.Seen());
  }

 private:
  ScratchDirectory scratch_;
  SimHub::SimulatedHub hub_;
  SdkLibrary sdk_;
  Frames frames_;
  int handle_ = -1;
};

// At least `count` frames that a set of the simulated hub's kind hands to the
// host's callback; none when the set does not open.
std::vector<Bytes> FramesOf(const SimHub::HubOptions& options, const std::string& deviceWords, std::size_t count) {
  OpenSet set(options, "device=" + deviceWords);
  if (!set.Opened()) return {};
  set.WaitFor([&](const std::vector<Bytes>& seen) { return seen.size() >= count; });
  EXPECT_TRUE(set.Close());
  return set.Seen();
}

// A dongle with one raw DKv6 sensor that holds the worked image and sends the
// worked frame, over and over.
SimHub::HubOptions WorkedDongle() {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back({"QN DKv6 sensor V3.01 Mar 12 2019", ModelImages::Image(ModelImages::Worked()), {}});
  options.dataFrameHook = [](SimHub::DataFrameContent& content) {
    content.blocks = ModelImages::WordBytes(ModelImages::WorkedWords());
  };
  return options;
}

TEST(ModelDataPath, DKv6OnADongleReachesTheHostCalibrated) {
  const auto seen = FramesOf(WorkedDongle(), "dongle raw", 3);
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
  OpenSet set(WorkedDongle(), "device=dongle raw;processing=kalman;Frequency=100");
  ASSERT_TRUE(set.Opened());
  EXPECT_TRUE(set.WaitFor([](const std::vector<Bytes>& seen) {
    return !seen.empty() && !IsIdentity(AttitudeOf(seen.back()));
  })) << "no attitude after the first alignment";
  ASSERT_TRUE(set.Reset(2));
  const std::size_t atReset = set.Seen().size();
  EXPECT_TRUE(set.WaitFor([&](const std::vector<Bytes>& seen) { return seen.size() >= atReset + 150; }));
  EXPECT_TRUE(set.Close());

  std::size_t identities = 0;           // in a row
  std::vector<std::size_t> alignments;  // frames of (0, 0, 0, 1) before each attitude after them
  for (const auto& frame : set.Seen()) {
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
