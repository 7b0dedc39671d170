#pragma once

// What the hub kinds' tests on the simulated hub share: bounded waits, a log
// of the frames a hub hands on, and a fixture that owns simulator and hub.

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ScratchDirectory.h"
#include "communication/qn/Frame.h"
#include "simhub/SimulatedHub.h"

namespace HubTesting {

using Communication::Device::QN::Bytes;

// Bound of every wait for something that must happen.
inline constexpr std::chrono::seconds kLimit{5};

template <class Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Keeps a copy of every frame the hub hands on.
class FrameLog {
 public:
  void operator()(void* frame) {
    namespace Frame = Communication::Device::QN::Frame;
    const auto* bytes = static_cast<const std::uint8_t*>(frame);
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.emplace_back(bytes, bytes + Frame::Word(bytes + Frame::kLengthOffset));
  }
  std::vector<Bytes> Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::size_t Count() const { return Frames().size(); }
  bool WaitForMore(std::size_t count) const {
    const auto start = Count();
    return WaitFor([&] { return Count() >= start + count; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Bytes> frames_;
};

// Serial ports resolve in a scratch directory where the simulator attaches;
// the hub is closed before the simulator goes.
template <class Hub>
class OnSimulator : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }
  void TearDown() override {
    if (hub) hub->Close();
    hub.reset();
    sim.reset();
  }

  void AttachSim(SimHub::HubOptions options, int com) {
    sim.emplace(std::move(options));
    sim->AttachPty(scratch.Path(), com);
  }

  ScratchDirectory scratch;
  LogCapture log;
  std::optional<SimHub::SimulatedHub> sim;
  std::shared_ptr<Hub> hub;
  FrameLog frames;
};

}  // namespace HubTesting
