#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "ModelImages.h"
#include "TestFrames.h"
#include "TestHub.h"
#include "common/Log.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

using namespace TestFrames;

// Which horizon (ms) a head-tracking record was predicted by: 20, 40, 0 (the
// rate has been steady long enough to count as rest), or -1.
int Horizon(const void* frame, std::size_t position) {
  const auto at = Record(position) + 160;
  const Eigen::Quaterniond q(DoubleAt(frame, at + 24), DoubleAt(frame, at), DoubleAt(frame, at + 8),
                             DoubleAt(frame, at + 16));
  const Eigen::Quaterniond decoded(0.5, 0.5, 0.5, 0.5);
  for (const int horizon : {0, 20, 40}) {
    const Eigen::Quaterniond expected =
        decoded * Eigen::Quaterniond(Eigen::AngleAxisd(horizon * (1000.0 / 1024) * 0.001, Eigen::Vector3d::UnitX()));
    if (q.coeffs().isApprox(expected.coeffs(), 1e-14)) return horizon;
  }
  return -1;
}

// The stream thread hands the frame to the manager over and over while the
// host runs its rounds (at least 2,000, and until 100 frames went through).
// Returns how many of the processed frames isMixed found mixed, and how many
// frames were processed.
template <class HostRound, class IsMixed>
std::pair<int, int> Race(Processing::Manager::QN::CManager& manager, const Bytes& raw, HostRound hostRound,
                         IsMixed isMixed) {
  std::atomic<bool> stop{false};
  std::atomic<int> processed{0};
  int mixed = 0;
  std::thread stream([&] {
    auto frame = std::make_unique<Processing::SdkFrame>();
    while (!stop.load()) {
      *frame = {};
      if (!manager.Process(raw.data(), frame.get())) continue;
      ++processed;
      if (isMixed(*frame)) ++mixed;
    }
  });
  for (int round = 0; round < 2000 || processed.load() < 100; ++round) hostRound(round);
  stop = true;
  stream.join();
  return {mixed, processed.load()};
}

// The host reconfigures the stages while the stream thread hands frames to
// the manager: every frame is processed wholly before or wholly after a
// change, never with some sensors on the old settings and some on the new.
TEST(ManagerThreads, AFrameSeesOneConfigurationAcrossItsSensors) {
  Logging::SetLevel(5);
  constexpr std::size_t kSensors = 8;
  auto hub = std::make_shared<TestHub>();
  for (std::size_t p = 0; p < kSensors; ++p)
    hub->Add("DKv5 Jan 10 2018", 3, static_cast<int>(14 + 30 * p), 30, static_cast<int>(p));
  Processing::Manager::QN::CManager manager(hub, {});
  boost::property_tree::ptree settings[2];
  settings[0].put("PredictionTime", "20");
  settings[1].put("PredictionTime", "40");
  ASSERT_TRUE(manager.Configure(settings[0], nullptr));

  auto raw = DataFrame(1, 0, (1u << kSensors) - 1, 30 * kSensors);
  // Quaternion (0.5, 0.5, 0.5, 0.5), a steady rate word of 1024 on x.
  for (std::size_t p = 0; p < kSensors; ++p)
    PutWords(raw, 14 + 30 * p, {16384, 16384, 16384, 16384, 0, 0, 0, 0, 0, 0, 1024});
  Seal(raw);

  const auto [mixed, processed] = Race(
      manager, raw,
      [&](int round) {
        manager.Configure(settings[round % 2], nullptr);
        double values[32] = {};
        manager.ExecuteCommand("set predictiontime", values, nullptr);
      },
      [&](const Processing::SdkFrame& frame) {
        const int first = Horizon(&frame, 0);
        for (std::size_t p = 0; p < kSensors; ++p)
          if (first < 0 || Horizon(&frame, p) != first) return true;
        return false;
      });
  EXPECT_EQ(mixed, 0) << "of " << processed << " frames";
}

// The same for the default chain: raw DKv6 sensors, each followed by the PI
// correction. All sensors see the same words, so every frame carries one
// attitude in all of them unless a change landed between two sensors.
TEST(ManagerThreads, AFrameOfTheDefaultChainSeesOneConfigurationAcrossItsSensors) {
  Logging::SetLevel(5);
  constexpr std::size_t kSensors = 8;
  auto hub = std::make_shared<TestHub>();
  for (std::size_t p = 0; p < kSensors; ++p)
    hub->Add("QN DKv6 Mar 12 2019", 0, static_cast<int>(14 + 20 * p), 20, static_cast<int>(p),
             ModelImages::Image(ModelImages::Worked()));
  Processing::Manager::QN::CManager manager(hub, {});
  boost::property_tree::ptree settings[2];
  settings[0].put("Frequency", "100");
  settings[1].put("Frequency", "200");
  settings[1].put("KpINI", "0.3");
  settings[1].put("TimeStartSec", "0.1");
  ASSERT_TRUE(manager.Configure(settings[0], nullptr));

  auto raw = DataFrame(1, 0, (1u << kSensors) - 1, 20 * kSensors);
  for (std::size_t p = 0; p < kSensors; ++p) PutWords(raw, 14 + 20 * p, ModelImages::WorkedWords());
  Seal(raw);

  const auto [mixed, processed] = Race(
      manager, raw,
      [&](int round) {
        const int mode = 2;
        manager.Configure(settings[round % 2], round % 3 == 0 ? &mode : nullptr);
        manager.ExecuteCommand("computegyrooffset", nullptr, nullptr);
      },
      [&](const Processing::SdkFrame& frame) {
        for (std::size_t p = 1; p < kSensors; ++p)
          if (std::memcmp(&frame.sensors[p].quaternion, &frame.sensors[0].quaternion, 32) != 0) return true;
        return false;
      });
  EXPECT_EQ(mixed, 0) << "of " << processed << " frames";
}

// A Configure resets the Kalman filter behind a model, which then aligns again
// from its next frame. Run alone, the same frame over and over gives a fixed
// sequence: 100 times (0, 0, 0, 1), then the estimates. With resets from the
// host's thread, every frame handed on must continue that sequence or start it
// again: a frame that met a reset half made would show something else.
TEST(ManagerThreads, AKalmanFiltersFramesContinueItsSequenceOrStartItAgain) {
  Logging::SetLevel(5);
  boost::property_tree::ptree configuration;
  configuration.put("processing", "kalman");
  configuration.put("Frequency", "100");
  auto hub = std::make_shared<TestHub>();
  hub->Add("QN DKv6 Mar 12 2019", 0, 14, 20, 0, ModelImages::Image(ModelImages::Worked()));
  Processing::Manager::QN::CManager manager(hub, configuration);
  auto raw = DataFrame(1, 0, 1, 20);
  PutWords(raw, 14, ModelImages::WorkedWords());
  Seal(raw);

  using Quaternion = std::array<double, 4>;  // x, y, z, w
  const auto quaternionOf = [](const Processing::SdkFrame& frame) {
    Quaternion q;
    std::memcpy(q.data(), frame.sensors[0].quaternion, sizeof q);
    return q;
  };
  constexpr std::size_t kAligning = 100;
  const Quaternion identity{0, 0, 0, 1};
  std::vector<Quaternion> sequence;
  ASSERT_TRUE(manager.Configure(configuration, nullptr));
  auto alone = std::make_unique<Processing::SdkFrame>();
  for (int n = 0; n < 1000; ++n) {
    *alone = {};
    ASSERT_TRUE(manager.Process(raw.data(), alone.get()));
    sequence.push_back(quaternionOf(*alone));
  }
  ASSERT_EQ(sequence[kAligning - 1], identity);
  ASSERT_NE(sequence[kAligning], identity) << "no estimate after the alignment";

  ASSERT_TRUE(manager.Configure(configuration, nullptr));
  std::atomic<long> processed{0};
  long identities = 0;   // in a row
  std::size_t next = 0;  // in the sequence, while tracking
  long alignments = 0;
  // Resets while aligning, right at its end and while tracking.
  constexpr std::array<long, 6> kFramesBetween{1, 40, 99, 100, 101, 350};
  const auto [wrong, frames] = Race(
      manager, raw,
      [&](int round) {
        const long until = processed.load() + kFramesBetween[static_cast<std::size_t>(round) % kFramesBetween.size()];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (processed.load() < until && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        manager.Configure(configuration, nullptr);
      },
      [&](const Processing::SdkFrame& frame) {
        ++processed;
        const Quaternion q = quaternionOf(frame);
        if (q == identity) {
          ++identities;
          next = 0;
          return false;
        }
        if (next == 0) {  // the first estimate after an alignment
          const bool whole = identities >= static_cast<long>(kAligning) && q == sequence[kAligning];
          ++alignments;
          identities = 0;
          next = kAligning + 1;
          return !whole;
        }
        if (next >= sequence.size()) return false;
        return q != sequence[next++];
      });
  EXPECT_EQ(wrong, 0) << "of " << frames << " frames";
  // At least the waits of 350 frames see an alignment complete.
  EXPECT_GE(alignments, 2000 / static_cast<long>(kFramesBetween.size()));
}

}  // namespace
