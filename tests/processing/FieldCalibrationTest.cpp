// Field calibration as a host drives it: "dc " commands through the loaded
// library to a sensor on a simulated USB dongle, whose flash must end up
// holding the new calibration and nothing else changed.

#include <stdlib.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "SyntheticMotion.h"
#include "processing/SdkFrame.h"
#include "simhub/SimulatedHub.h"

namespace {

using ModelImages::kOne;
using ModelImages::Unit;
using Processing::SdkFrame;

constexpr int kCom = 9;

class FieldCalibration : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  void TearDown() override {
    if (handle >= 0) {
      EXPECT_TRUE(sdk.CloseDevice(handle));
    }
  }

  void Open(const std::string& identity, const ModelImages::Bytes& image, SimHub::DataFrameHook frames = {}) {
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::Dongle;  // raw data: the sensor's model serves it
    options.sensors.push_back(SimHub::SimSensor{identity, image, {}});
    options.dataFrameHook = std::move(frames);
    sim.emplace(std::move(options));
    sim->AttachPty(scratch.Path(), kCom);
    handle = sdk.CreateDevice(1, "none.ini",
                              ("device=dongle;com=" + std::to_string(kCom) + ";debugOutputLevel=0").c_str());
    ASSERT_GE(handle, 0);
  }

  bool Command(const std::string& text, void* input = nullptr, void* output = nullptr) {
    return sdk.SendImplementationSpecificCommand(handle, text.c_str(), input, output);
  }

  // Records the frames as one batch and computes the compensation for the
  // dongle's sensor (position 0); the success mask.
  std::uint32_t Calculate(std::vector<SdkFrame>& frames, const std::string& name) {
    std::array<std::uint8_t, 12> add{};
    const auto count = static_cast<std::uint32_t>(frames.size());
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(frames.data()));
    std::memcpy(add.data(), &count, 4);
    std::memcpy(add.data() + 4, &address, 8);
    EXPECT_TRUE(Command("dc clear"));
    EXPECT_TRUE(Command("dc add", add.data()));
    // Copied: the host's buffer is free again.
    std::memset(static_cast<void*>(frames.data()), 0x7F, frames.size() * sizeof(SdkFrame));
    std::uint32_t mask = 1, output = 0xA5A5A5A5;
    EXPECT_TRUE(Command("DC Calculate " + name, &mask, &output));
    return output;
  }

  std::uint32_t Rewrite(const std::string& command, std::array<std::uint32_t, 3> input) {
    std::uint32_t output = 0xA5A5A5A5;
    EXPECT_TRUE(Command(command, input.data(), &output));
    return output;
  }

  bool Logged(const std::string& text) const {
    return scratch.Read("quenlith_sdk_lite.txt").find(text) != std::string::npos;
  }

  // The output frames the host's callback receives from now on.
  class Received {
   public:
    static void Keep(void* frame, void* user) {
      auto& self = *static_cast<Received*>(user);
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.frames_.push_back(*static_cast<const SdkFrame*>(frame));
      self.arrived_.notify_all();
    }
    // The first `count` frames; fewer if they do not come within 10 s.
    std::vector<SdkFrame> Wait(std::size_t count) {
      std::unique_lock<std::mutex> lock(mutex_);
      arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return frames_.size() >= count; });
      return {frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(std::min(count, frames_.size()))};
    }

   private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SdkFrame> frames_;
  };

  ScratchDirectory scratch;
  std::optional<SimHub::SimulatedHub> sim;
  // Outlives every callback: the set is closed before it goes.
  Received received[2];
  SdkLibrary sdk;
  int handle = -1;
};

TEST_F(FieldCalibration, GyroscopeOffsetsReachTheDKv5SensorsAngularRateBiases) {
  auto calibration = Unit();
  calibration.biases[3] = 1342177;   // trunc(0.01 x 2^27)
  calibration.biases[4] = -2684354;  // trunc(-0.02 x 2^27)
  calibration.biases[5] = 4026531;   // trunc(0.03 x 2^27)
  const auto image = ModelImages::Image(calibration);
  Open("DKv5 Jan 10 2020", image);

  // A sensor at rest: its mean angular rate (0.1, 0.03, -0.2) in output units.
  std::vector<SdkFrame> frames(20);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const double wobble = i % 2 == 0 ? 0.01 : -0.01;
    double* rate = frames[i].sensors[0].angularRate;
    rate[0] = 0.1 + wobble;
    rate[1] = 0.03 - wobble;
    rate[2] = -0.2 + wobble;
  }
  EXPECT_EQ(Calculate(frames, "gyr"), 1u);
  EXPECT_EQ(Rewrite("dc update", {1, 2, 0}), 1u);

  // Biases + offsets / (2 x matrix x scale factors), the unit factor of the
  // angular rate being 2: trunc((0.05 + 1342177 / 2^27) x 2^27) and so on.
  auto expected = image;
  ModelImages::PutAll(expected, 48, ModelImages::Words3{8053063, -671088, -9395241});
  const auto updated = sim->Flash(0);
  EXPECT_EQ(updated, expected);

  // Angular-rate biases cannot be restored: refused, flash unchanged.
  EXPECT_EQ(Rewrite("dc restore", {1, 2, 0}), 0u);
  EXPECT_EQ(sim->Flash(0), updated);
  EXPECT_TRUE(Logged("<error> <dc> sensor 0: unit is not support restore"));
}

// A resting sensor whose angular rate reads (50, -30, 100) x 2 / 2048 with no
// compensation: recorded live, "gyr" makes the very next frames read 0.
TEST_F(FieldCalibration, ARestingDKv5ReadsNoAngularRateOnceItsGyroscopeOffsetsAreCalculated) {
  const std::vector<std::int16_t> resting{0, 0, -2048, 50, -30, 100, 600, 0, -900, 0};
  Open("DKv5 Jan 10 2020", ModelImages::Image(Unit()),
       [resting](SimHub::DataFrameContent& content) { content.blocks = ModelImages::WordBytes(resting); });
  ASSERT_TRUE(sdk.SetReceiveDataCallback(handle, &Received::Keep, &received[0]));
  std::vector<SdkFrame> frames = received[0].Wait(40);
  ASSERT_EQ(frames.size(), 40u);
  const double* before = frames.back().sensors[0].angularRate;
  EXPECT_EQ(before[0], 50.0 / 1024);
  EXPECT_EQ(before[1], -30.0 / 1024);
  EXPECT_EQ(before[2], 100.0 / 1024);

  EXPECT_EQ(Calculate(frames, "gyr"), 1u);
  ASSERT_TRUE(sdk.SetReceiveDataCallback(handle, &Received::Keep, &received[1]));
  // The first frame may have been processed before the calculation.
  const auto next = received[1].Wait(4);
  ASSERT_EQ(next.size(), 4u);
  for (std::size_t i = 1; i < next.size(); ++i) {
    const double* rate = next[i].sensors[0].angularRate;
    EXPECT_EQ(rate[0], 0.0) << "frame " << next[i].frameCounter;
    EXPECT_EQ(rate[1], 0.0) << "frame " << next[i].frameCounter;
    EXPECT_EQ(rate[2], 0.0) << "frame " << next[i].frameCounter;
    EXPECT_EQ(next[i].sensors[0].acceleration[2], 1.0) << "the other triples are as they were";
  }
}

TEST_F(FieldCalibration, MagnetometerCompensationReachesTheDKv6SensorsDeviationBlocks) {
  const auto image = ModelImages::Image(Unit());
  Open("DKv6 Jan 10 2020", image);

  // The field on a sphere of radius 0.5 about (0.25, -0.125, 0.375): offsets
  // the centre, matrix 2 x identity.
  const auto field =
      SyntheticMotion::OnEllipsoid(SyntheticMotion::Matrix3d::Identity() * 2, {-0.25, 0.125, -0.375}, 100);
  std::vector<SdkFrame> frames(100);
  for (Eigen::Index i = 0; i < 100; ++i)
    for (int c = 0; c < 3; ++c) frames[static_cast<std::size_t>(i)].sensors[0].magneticField[c] = field(i, c);
  EXPECT_EQ(Calculate(frames, "mag"), 1u);
  EXPECT_EQ(Rewrite("dc update", {1, 4, 0}), 1u);

  // Words of value x 2^27, within one unit of truncation of a fit that is
  // exact to rounding.
  const auto updated = sim->Flash(0);
  ASSERT_EQ(updated.size(), image.size());
  const std::array<std::int32_t, 12> words{33554432, -16777216, 50331648,  // offsets at 1024
                                           2 * kOne, 0, 0, 0, 2 * kOne, 0, 0, 0, 2 * kOne};  // matrix by rows
  for (std::size_t k = 0; k < words.size(); ++k)
    EXPECT_NEAR(ModelImages::S32At(updated, 1024 + 4 * k), words[k], 1) << "word at " << 1024 + 4 * k;
  auto rest = updated;
  std::copy(image.begin() + 1024, image.begin() + 1072, rest.begin() + 1024);
  EXPECT_EQ(rest, image) << "bytes outside 1024 to 1071 changed";

  // Back to the factory state: zero offsets, identity matrix.
  EXPECT_EQ(Rewrite("dc restore", {1, 4, 1}), 1u);
  EXPECT_EQ(sim->Flash(0), image);
}

}  // namespace
