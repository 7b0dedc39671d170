// Two device sets in one process, each a DKv5 head tracker on a simulated
// dongle, exchanging quaternions through the shared storage with the rest of
// the process (played by the test): each publishes its own orientation, and
// each combines every new object-to-camera orientation once.

#include <stdlib.h>

#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ScratchDirectory.h"
#include "api/LibraryContext.h"
#include "processing/storage/DataStorage.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using Stored = std::array<double, 4>;  // x, y, z, w
constexpr std::size_t kBytes = sizeof(Stored);
constexpr auto kLimit = 10s;

struct Tracker {
  int com;
  std::array<std::int16_t, 4> quaternionWords;  // w0 (scalar), w1 to w3
  const char* cameraOnGun;
};

// A DKv5 sensor sending its quaternion and calibrated values (data type 3)
// with a steady quaternion and a rate that keeps changing, so that it counts
// as turning.
std::unique_ptr<SimHub::SimulatedHub> Dongle(const ScratchDirectory& scratch, const Tracker& tracker) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back(SimHub::SimSensor{"DKv5 Jan 10 2018", SimHub::Bytes(2048, 0), {}});
  const auto words = tracker.quaternionWords;
  options.dataFrameHook = [words](SimHub::DataFrameContent& content) {
    content.blocks.assign(30, 0);
    const auto put = [&](std::size_t word, std::int16_t value) {
      content.blocks[2 * word] = static_cast<std::uint8_t>(value);
      content.blocks[2 * word + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8);
    };
    for (std::size_t k = 0; k < 4; ++k) put(k, words[k]);
    put(10, static_cast<std::int16_t>(content.counter % 64 * 64));
  };
  auto hub = std::make_unique<SimHub::SimulatedHub>(options);
  hub->AttachPty(scratch.Path(), tracker.com);
  return hub;
}

Eigen::Quaterniond Decoded(const std::array<std::int16_t, 4>& words) {
  return Eigen::Quaterniond(words[0] / 32768.0, words[1] / 32768.0, words[2] / 32768.0, words[3] / 32768.0);
}

std::optional<Eigen::Quaterniond> Take(SharedStorage::CReader& reader) {
  Stored value;
  if (!reader.Get(value.data(), kBytes)) return std::nullopt;
  return Eigen::Quaterniond(value[3], value[0], value[1], value[2]);
}

bool Near(const Eigen::Quaterniond& a, const Eigen::Quaterniond& b) { return a.coeffs().isApprox(b.coeffs(), 1e-12); }

// How often each reader index read the key, from the storage's trace records.
std::map<int, int> ReadsByReader(const LogCapture& log, const std::string& key) {
  const std::regex read("^<trace> get " + key + "@0x[0-9a-f]+\\[([0-9]+)\\]: ");
  std::map<int, int> reads;
  for (const auto& line : log.Lines()) {
    std::smatch match;
    if (std::regex_search(line, match, read)) ++reads[std::stoi(match[1])];
  }
  return reads;
}

template <class Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(HeadTracking, TwoDeviceSetsExchangeQuaternionsEachReaderSeeingEachValueOnce) {
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  const Tracker trackers[] = {{21, {16384, 16384, 16384, 16384}, "false"}, {22, {23170, 23170, 0, 0}, "true"}};
  std::vector<std::unique_ptr<SimHub::SimulatedHub>> hubs;
  for (const auto& tracker : trackers) hubs.push_back(Dongle(scratch, tracker));

  SharedStorage::CReader cameraSensor("CameraSensorQuat", kBytes);
  SharedStorage::CReader objectCamera("ObjectCameraQuat", kBytes);
  SharedStorage::CReader objectForCorrect("ObjectQuatForCorrect", kBytes);
  LogCapture log;
  {
    CLibraryContext sdk;
    std::vector<int> handles;
    for (const auto& tracker : trackers) {
      const std::string parameters = "device=dongle quatcalibratedt;com=" + std::to_string(tracker.com) +
                                     ";headSensor=0;debugOutputLevel=0;cameraOnGun=" + tracker.cameraOnGun;
      handles.push_back(sdk.CreateDevice(1, "none.ini", parameters.c_str()));
      ASSERT_GE(handles.back(), 0);
    }

    // Each set publishes its own orientation while it turns.
    std::vector<bool> seen(std::size(trackers), false);
    ASSERT_TRUE(WaitFor([&] {
      if (const auto q = Take(cameraSensor)) {
        bool known = false;
        for (std::size_t i = 0; i < std::size(trackers); ++i)
          if (Near(*q, Decoded(trackers[i].quaternionWords))) known = seen[i] = true;
        EXPECT_TRUE(known) << "published " << q->coeffs().transpose();
      }
      return seen[0] && seen[1];
    }));
    Take(objectForCorrect);  // whatever a set made of an object quaternion stored before it opened

    // Each new object quaternion is combined by each set once, as its set says.
    const Eigen::Quaterniond objects[] = {
        Eigen::Quaterniond(Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY())),
        Eigen::Quaterniond(Eigen::AngleAxisd(-1.1, Eigen::Vector3d(1, 1, 0).normalized()))};
    for (std::size_t n = 0; n < std::size(objects); ++n) {
      const auto& o = objects[n];
      const auto readsBefore = ReadsByReader(log, "ObjectCameraQuat");
      const auto storesBefore = log.Count("set ObjectQuatForCorrect@");
      const Stored value{o.x(), o.y(), o.z(), o.w()};
      objectCamera.Set(value.data(), kBytes);
      const std::vector<Eigen::Quaterniond> combined{
          (Decoded(trackers[0].quaternionWords) * o).normalized(),
          (Decoded(trackers[1].quaternionWords) * o.conjugate()).normalized()};
      ASSERT_TRUE(WaitFor([&] { return log.Count("set ObjectQuatForCorrect@") >= storesBefore + 2; }))
          << "object quaternion " << n << " was not combined by both sets";
      const auto k = Take(objectForCorrect);
      ASSERT_TRUE(k);
      EXPECT_TRUE(Near(*k, combined[0]) || Near(*k, combined[1])) << "combined " << k->coeffs().transpose();

      // Many frames later, still once per set.
      const auto sent = hubs[0]->DataFramesSent() + 20;
      ASSERT_TRUE(WaitFor([&] { return hubs[0]->DataFramesSent() >= sent && hubs[1]->DataFramesSent() >= sent; }));
      EXPECT_EQ(log.Count("set ObjectQuatForCorrect@"), storesBefore + 2);
      auto reads = ReadsByReader(log, "ObjectCameraQuat");
      for (const auto& [reader, count] : readsBefore) reads[reader] -= count;
      std::size_t readers = 0;
      for (const auto& [reader, count] : reads) {
        if (count == 0) continue;
        ++readers;
        EXPECT_EQ(count, 1) << "reader " << reader << " read object quaternion " << n << " " << count << " times";
      }
      EXPECT_EQ(readers, 2u) << "object quaternion " << n;
    }

    for (const int handle : handles) EXPECT_TRUE(sdk.CloseDevice(handle));
  }
}

}  // namespace
