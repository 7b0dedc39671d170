// A host configuring the hub's manager, and with it a sensor's Kalman filter,
// while the stream thread processes frames through the same manager.

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ModelSensor.h"
#include "TestFrames.h"
#include "TestHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

using namespace std::chrono_literals;
using Processing::SdkFrame;
using Quaternion = std::array<double, 4>;  // x, y, z, w

Quaternion QuaternionOf(const SdkFrame& frame) {
  Quaternion q;
  std::memcpy(q.data(), frame.sensors[0].quaternion, sizeof q);
  return q;
}

// A Configure resets the filter, which then aligns again from its first frame.
// Run alone, the same frame over and over gives a fixed sequence: 100 times
// (0, 0, 0, 1), then the estimates. With resets coming from another thread,
// every frame handed on must continue that sequence or start it again: a frame
// that saw a reset half made would show something else.
TEST(MekfConcurrency, EveryFrameContinuesTheFiltersSequenceOrStartsItAgain) {
  boost::property_tree::ptree configuration;
  configuration.put("processing", "kalman");
  configuration.put("Frequency", "100");
  const auto hub = std::make_shared<TestHub>();
  hub->Add(RawSensor("QN DKv6 sensor V3.01 Mar 12 2019", 0, ModelImages::Image(ModelImages::Worked())));
  Processing::Manager::QN::CManager manager(hub, configuration);

  auto raw = TestFrames::DataFrame(1, 0, 1, 20);
  TestFrames::PutWords(raw, 14, ModelImages::WorkedWords());
  TestFrames::Seal(raw);

  constexpr int kAligning = 100;
  std::vector<Quaternion> sequence;
  manager.Configure(configuration, nullptr);
  auto frame = std::make_unique<SdkFrame>();
  for (int n = 0; n < 1000; ++n) {
    std::memset(frame.get(), 0, sizeof(SdkFrame));
    ASSERT_TRUE(manager.Process(raw.data(), frame.get()));
    sequence.push_back(QuaternionOf(*frame));
  }
  const Quaternion identity{0, 0, 0, 1};
  ASSERT_EQ(sequence[kAligning - 1], identity);
  ASSERT_NE(sequence[kAligning], identity) << "no estimate after the alignment";

  manager.Configure(configuration, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<long> delivered{0};
  long wrong = 0;
  long alignments = 0;
  std::thread stream([&] {
    auto own = std::make_unique<SdkFrame>();
    long identities = 0;  // in a row
    std::size_t next = 0;  // in the sequence, while tracking
    while (!stop.load()) {
      std::memset(own.get(), 0, sizeof(SdkFrame));
      if (!manager.Process(raw.data(), own.get())) continue;
      const Quaternion q = QuaternionOf(*own);
      if (q == identity) {
        ++identities;
        next = 0;
      } else if (next == 0) {
        // The first estimate after a whole alignment.
        if (identities < kAligning || q != sequence[kAligning]) ++wrong;
        ++alignments;
        identities = 0;
        next = kAligning + 1;
      } else if (next < sequence.size()) {
        if (q != sequence[next]) ++wrong;
        ++next;
      }
      ++delivered;
    }
  });

  // Resets while aligning, right at its end and while tracking.
  constexpr std::array<long, 6> kFramesBetween{1, 40, 99, 100, 101, 350};
  constexpr int kConfigures = 120;
  for (int n = 0; n < kConfigures; ++n) {
    const long until = delivered.load() + kFramesBetween[static_cast<std::size_t>(n) % kFramesBetween.size()];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (delivered.load() < until && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    manager.Configure(configuration, nullptr);
  }
  const long until = delivered.load() + kAligning + 1;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (delivered.load() < until && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  stop = true;
  stream.join();

  EXPECT_EQ(wrong, 0) << "frames off the filter's sequence, of " << delivered.load();
  // At least the waits of 350 frames see an alignment complete.
  EXPECT_GE(alignments, kConfigures / static_cast<long>(kFramesBetween.size()));
}

}  // namespace
