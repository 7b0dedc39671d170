#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "processing/manager/FrameGate.h"

namespace {

using namespace std::chrono_literals;

// A host command that stops and joins the stream thread while it holds the
// gate (as a flash write does) must not wait for ever on a frame that waits
// for the host.
TEST(FrameGate, AHostHoldingItCanJoinTheStreamThread) {
  Processing::Manager::CFrameGate gate;
  std::atomic<bool> stop{false};
  std::atomic<int> handled{0};
  std::atomic<int> skipped{0};
  std::promise<void> exited;
  auto streamExited = exited.get_future();
  std::thread stream([&] {
    while (!stop.load()) {
      const auto frame = gate.ForFrame();
      ++(frame.owns_lock() ? handled : skipped);
      std::this_thread::yield();
    }
    exited.set_value();
  });

  const auto waitFor = [](const std::atomic<int>& count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (count.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return count.load() > 0;
  };
  EXPECT_TRUE(waitFor(handled));
  {
    const auto host = gate.ForHost();
    const int handledBefore = handled.load();
    EXPECT_TRUE(waitFor(skipped));
    stop = true;
    EXPECT_EQ(streamExited.wait_for(10s), std::future_status::ready) << "the stream thread waits for the host";
    EXPECT_EQ(handled.load(), handledBefore) << "a frame ran while the host held the gate";
  }
  stream.join();
}

}  // namespace
