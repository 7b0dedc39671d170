#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <Eigen/Geometry>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "ModelImages.h"
#include "TestFrames.h"
#include "TestHub.h"
#include "api/Log.h"
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

// The host reconfigures the stages while the stream thread hands frames to
// the manager: every frame is processed wholly before or wholly after a
// change, never with some sensors on the old settings and some on the new.
TEST(ManagerThreads, AFrameSeesOneConfigurationAcrossItsSensors) {
  Logging::SetLevel(5);
  constexpr int kSensors = 8;
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < kSensors; ++p) hub->Add("DKv5 Jan 10 2018", 3, 14 + 30 * p, 30, p);
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

  std::atomic<bool> stop{false};
  std::atomic<int> processed{0};
  std::atomic<int> mixed{0};
  std::thread stream([&] {
    auto frame = std::make_unique<Processing::SdkFrame>();
    while (!stop.load()) {
      *frame = {};
      if (!manager.Process(raw.data(), frame.get())) continue;
      ++processed;
      const int first = Horizon(frame.get(), 0);
      for (std::size_t p = 0; p < kSensors; ++p)
        if (first < 0 || Horizon(frame.get(), p) != first) ++mixed;
    }
  });
  for (int round = 0; round < 2000 || processed.load() < 100; ++round) {
    manager.Configure(settings[round % 2], nullptr);
    double values[32] = {};
    manager.ExecuteCommand("set predictiontime", values, nullptr);
  }
  stop = true;
  stream.join();
  EXPECT_EQ(mixed.load(), 0) << "of " << processed.load() << " frames";
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

  std::atomic<bool> stop{false};
  std::atomic<int> processed{0};
  std::atomic<int> mixed{0};
  std::thread stream([&] {
    auto frame = std::make_unique<Processing::SdkFrame>();
    while (!stop.load()) {
      *frame = {};
      if (!manager.Process(raw.data(), frame.get())) continue;
      ++processed;
      for (std::size_t p = 1; p < kSensors; ++p)
        if (std::memcmp(&frame->sensors[p].quaternion, &frame->sensors[0].quaternion, 32) != 0) ++mixed;
    }
  });
  for (int round = 0; round < 2000 || processed.load() < 100; ++round) {
    const int mode = 2;
    manager.Configure(settings[round % 2], round % 3 == 0 ? &mode : nullptr);
    manager.ExecuteCommand("computegyrooffset", nullptr, nullptr);
  }
  stop = true;
  stream.join();
  EXPECT_EQ(mixed.load(), 0) << "of " << processed.load() << " frames";
}

}  // namespace
