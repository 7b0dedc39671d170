// VectorNav and Memsense sensors through the loaded library to the host's
// callback: their values in block 0 of the output frame, and two VectorNav
// sets at once, each with its own sensor's values.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "SelfClosingCallback.h"
#include "TestFrames.h"
#include "sensorsim/SimulatedMemsense.h"
#include "sensorsim/SimulatedVectorNav.h"

namespace {

using namespace std::chrono_literals;
using namespace TestFrames;

constexpr auto kLimit = 10s;  // bound of every wait for something that must happen
constexpr std::size_t kFrameBytes = 16400;

// Copies of the frames one set hands to its callback.
struct Received {
  std::mutex mutex;
  std::vector<Bytes> frames;

  static void Keep(void* frame, void* user) {
    auto& self = *static_cast<Received*>(user);
    const auto* bytes = static_cast<const std::uint8_t*>(frame);
    std::lock_guard<std::mutex> lock(self.mutex);
    self.frames.emplace_back(bytes, bytes + kFrameBytes);
  }
  std::vector<Bytes> All() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
  }
  bool WaitForMore(std::size_t count) {
    const std::size_t target = All().size() + count;
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (All().size() < target && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return All().size() >= target;
  }
};

// Frame byte and the simulated VectorNav's packet value it carries:
// acceleration, angular rate, magnetic field, quaternion x, y, z, w.
constexpr std::pair<std::size_t, int> kVectorNavValues[] = {
    {80, 7},  {88, 8},  {96, 9},  {104, 4}, {112, 5}, {120, 6}, {128, 10},
    {136, 11}, {144, 12}, {160, 0}, {168, 1}, {176, 2}, {184, 3},
};

// Whether a frame is the sensor's packet whose counter modulo 256 it names by
// its quaternion x: those values in block 0 and nothing else anywhere.
bool CarriesVectorNavPacket(const Bytes& frame, int seed) {
  const double fraction = DoubleAt(frame.data(), Record(0) + 160) - seed * 1000;
  if (!(fraction >= 0 && fraction < 1)) return false;
  const auto counter = static_cast<std::uint32_t>(fraction * 256);
  Bytes rest = frame;
  for (const auto& [at, k] : kVectorNavValues) {
    if (DoubleAt(frame.data(), Record(0) + at) != SensorSim::PacketValue(seed, counter, k)) return false;
    std::fill_n(rest.begin() + static_cast<long>(Record(0) + at), 8, 0);
  }
  if (U32At(frame.data(), 4) != 1) return false;
  std::fill_n(rest.begin(), 8, 0);  // counter, raw word, mask
  return AllZero(rest.data(), 0, rest.size());
}

class OutsideSensorsDataPath : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }
  void TearDown() override {
    for (const int handle : handles) sdk.CloseDevice(handle);
  }

  int Open(const std::string& parameters, Received& received) {
    const int handle = sdk.CreateDevice(1, "none.ini", parameters.c_str());
    if (handle < 0) return handle;
    handles.push_back(handle);
    EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, &Received::Keep, &received));
    return handle;
  }

  // The frames of a set opened on its own, after its first ten: none when it does not open or stream.
  std::vector<Bytes> FirstFrames(const std::string& parameters) {
    Received& received = NewReceived();
    const int handle = Open(parameters, received);
    if (handle < 0 || !received.WaitForMore(10)) return {};
    EXPECT_TRUE(sdk.CloseDevice(handle));
    handles.pop_back();
    return received.All();
  }

  // Outlives the sets that call it, which the fixture closes.
  Received& NewReceived() { return received_.emplace_back(); }

  ScratchDirectory scratch;
  SdkLibrary sdk;
  std::list<Received> received_;
  std::vector<int> handles;
};

TEST_F(OutsideSensorsDataPath, VectorNavValuesReachBlockZero) {
  SensorSim::VectorNavOptions options;
  options.seed = 3;
  SensorSim::SimulatedVectorNav sim(options);
  sim.AttachPty(scratch.Path(), 5);
  const auto frames = FirstFrames("device=vectornav;com=5;frequency=100");
  ASSERT_FALSE(frames.empty());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(CarriesVectorNavPacket(frames[i], 3)) << "frame " << i;
    EXPECT_EQ(U16At(frames[i].data(), 0), i) << "frames are counted from 0";
  }
}

TEST_F(OutsideSensorsDataPath, MemsenseValuesReachBlockZero) {
  SensorSim::MemsenseOptions options;
  options.seed = 4;
  SensorSim::SimulatedMemsense sim(options);
  sim.AttachPty(scratch.Path(), 6);
  const auto frames = FirstFrames("device=memsense;com=6");
  ASSERT_FALSE(frames.empty());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Bytes& frame = frames[i];
    SCOPED_TRACE("frame " + std::to_string(i));
    const std::uint32_t counter = (U32At(frame.data(), Record(0) + 456) - 0x50000000u) / 0x100;
    Bytes rest = frame;
    // Acceleration, angular rate, magnetic field, then three words.
    for (int k = 0; k < 9; ++k) {
      const std::size_t at = Record(0) + 80 + 8 * static_cast<std::size_t>(k);
      EXPECT_EQ(DoubleAt(frame.data(), at), SensorSim::MemsenseValue(4, counter, k)) << "value " << k;
      std::fill_n(rest.begin() + static_cast<long>(at), 8, 0);
    }
    for (int k = 0; k < 3; ++k) {
      const std::size_t at = Record(0) + 456 + 4 * static_cast<std::size_t>(k);
      EXPECT_EQ(U32At(frame.data(), at), SensorSim::MemsenseWord(4, counter, k)) << "word " << k;
      std::fill_n(rest.begin() + static_cast<long>(at), 4, 0);
    }
    EXPECT_EQ(U16At(frame.data(), 0), i);
    EXPECT_EQ(U32At(frame.data(), 4), 1u);
    std::fill_n(rest.begin(), 8, 0);
    EXPECT_TRUE(AllZero(rest.data(), 0, rest.size()));
  }
}

TEST_F(OutsideSensorsDataPath, TwoVectorNavSetsEachGetTheirOwnSensor) {
  SensorSim::VectorNavOptions first;
  first.seed = 1;
  SensorSim::VectorNavOptions second;
  second.seed = 2;
  SensorSim::SimulatedVectorNav firstSim(first);
  SensorSim::SimulatedVectorNav secondSim(second);
  firstSim.AttachPty(scratch.Path(), 1);
  secondSim.AttachPty(scratch.Path(), 2);
  Received& older = NewReceived();
  Received& newer = NewReceived();
  const int olderHandle = Open("device=vectornav;com=1;frequency=200", older);
  const int newerHandle = Open("device=vectornav;com=2;frequency=200", newer);
  ASSERT_GE(olderHandle, 0);
  ASSERT_GE(newerHandle, 0);
  ASSERT_TRUE(older.WaitForMore(20));
  ASSERT_TRUE(newer.WaitForMore(20));

  // The set opened last goes; the other streams on.
  ASSERT_TRUE(sdk.CloseDevice(newerHandle));
  handles.pop_back();
  const std::size_t newerCount = newer.All().size();
  ASSERT_TRUE(older.WaitForMore(20)) << "closing one set stopped the other";
  EXPECT_EQ(newer.All().size(), newerCount);

  for (const auto& frame : older.All()) EXPECT_TRUE(CarriesVectorNavPacket(frame, 1)) << "the other sensor's values";
  for (const auto& frame : newer.All()) EXPECT_TRUE(CarriesVectorNavPacket(frame, 2)) << "the other sensor's values";
}

TEST_F(OutsideSensorsDataPath, AVectorNavCallbackMayCloseItsOwnSet) {
  SensorSim::SimulatedVectorNav sim({});
  sim.AttachPty(scratch.Path(), 3);
  const auto threads = ProcessThreads();
  const int handle = sdk.CreateDevice(1, "none.ini", "device=vectornav;com=3;frequency=100");
  ASSERT_GE(handle, 0);
  const auto closing = CloseFromOwnCallback(sdk, handle, threads);
  EXPECT_TRUE(closing.closed);
  EXPECT_EQ(closing.threads, threads) << "the reader thread did not end after its set closed";
  EXPECT_EQ(closing.calls, 1);
  EXPECT_FALSE(sdk.CloseDevice(handle));
}

}  // namespace
