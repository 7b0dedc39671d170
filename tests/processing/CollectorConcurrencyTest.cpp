// "dc " commands that change a sensor model while the stream thread processes
// frames through the hub's manager.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "SyntheticMotion.h"
#include "TestFrames.h"
#include "WritingHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

using namespace std::chrono_literals;
using Processing::SdkFrame;

// A compensation is written as offsets, then a matrix: a frame between the two
// would mix them. Every frame handed on must show one whole compensation.
TEST(CollectorConcurrency, EveryFrameSeesOneWholeCompensation) {
  ModelImages::Calibration unit{};
  unit.scaleFactors.fill(ModelImages::kOne);
  for (auto& m : unit.matrices) m = {ModelImages::kOne, 0, 0, 0, ModelImages::kOne, 0, 0, 0, ModelImages::kOne};
  unit.magMatrix = {ModelImages::kOne, 0, 0, 0, ModelImages::kOne, 0, 0, 0, ModelImages::kOne};
  const auto hub = std::make_shared<WritingHub>();
  hub->Add("QN DKv6", 0, 14, 20, 0, ModelImages::Image(unit));
  Processing::Manager::QN::CManager manager(hub, {});
  ASSERT_TRUE(manager.Configure({}, nullptr));

  auto raw = TestFrames::DataFrame(1, 0, 1, 20);
  TestFrames::PutWords(raw, 14, {0, 0, 0, 0, 0, 0, 900, -450, 300, 0});
  TestFrames::Seal(raw);

  // Two recordings whose fits differ in both offsets and matrix.
  using namespace SyntheticMotion;
  std::vector<std::vector<SdkFrame>> recordings(2, std::vector<SdkFrame>(100));
  const Samples spheres[2] = {OnEllipsoid(Matrix3d::Identity() * 2, {-0.25, 0.5, -0.125}, 100),
                              OnEllipsoid(Rotation(0.3, {1, 1, 0}) * Vector3d(1.5, 1, 0.5).asDiagonal() *
                                              Rotation(-0.3, {1, 1, 0}),
                                          {0.1, 0.2, 0.3}, 100)};
  for (int r = 0; r < 2; ++r)
    for (Eigen::Index i = 0; i < 100; ++i)
      for (int c = 0; c < 3; ++c) recordings[r][i].sensors[0].magneticField[c] = spheres[r](i, c);

  const auto command = [&](const std::string& text, const std::vector<std::uint32_t>& input) {
    std::uint32_t output = 0;
    EXPECT_TRUE(manager.ExecuteCommand(text, const_cast<std::uint32_t*>(input.data()), &output)) << text;
    EXPECT_EQ(output, 1u) << text;
  };
  const auto compensate = [&](int r) {
    std::uint8_t block[12];
    const std::uint32_t count = 100;
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(recordings[r].data()));
    std::memcpy(block, &count, 4);
    std::memcpy(block + 4, &address, 8);
    ASSERT_TRUE(manager.ExecuteCommand("dc clear", nullptr, nullptr));
    ASSERT_TRUE(manager.ExecuteCommand("dc add", block, nullptr));
    command("dc calculate mag", {1});
  };
  const auto restore = [&] { command("dc restore", {1, 4, 1}); };  // factory state: reloaded
  // The compensated field; the attitude correction after the model writes
  // values of its own that change from frame to frame.
  using Field = std::array<double, 3>;
  const auto fieldOf = [](const SdkFrame& frame) {
    const double* m = frame.sensors[0].magneticField;
    return Field{m[0], m[1], m[2]};
  };
  const auto result = [&] {
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_TRUE(manager.Process(raw.data(), frame.get()));
    return fieldOf(*frame);
  };
  std::vector<Field> results;
  for (int r = 0; r < 2; ++r) {
    compensate(r);
    results.push_back(result());
  }
  restore();
  results.push_back(result());
  for (std::size_t a = 0; a < results.size(); ++a)
    for (std::size_t b = a + 1; b < results.size(); ++b)
      ASSERT_NE(results[a], results[b]) << a << " and " << b;

  std::atomic<bool> stop{false};
  std::atomic<long> delivered{0};
  std::atomic<long> mixed{0};
  std::thread stream([&] {
    auto frame = std::make_unique<SdkFrame>();
    while (!stop.load()) {
      std::memset(frame.get(), 0, sizeof(SdkFrame));
      if (!manager.Process(raw.data(), frame.get())) continue;
      if (std::find(results.begin(), results.end(), fieldOf(*frame)) == results.end()) ++mixed;
      ++delivered;
    }
  });
  const auto letFramesThrough = [&] {
    const long before = delivered.load();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (delivered.load() == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  for (int round = 0; round < 100; ++round) {
    compensate(round % 2);
    letFramesThrough();
    restore();
    letFramesThrough();
  }
  stop = true;
  stream.join();

  EXPECT_EQ(mixed.load(), 0) << "frames with half a compensation";
  EXPECT_GE(delivered.load(), 200);
}

}  // namespace
