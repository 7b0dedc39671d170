// The stream thread's life cycle in the hub base, with a loop that only waits
// for its stop flag.

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "HubFixture.h"
#include "LogCapture.h"
#include "communication/Hub.h"

namespace {

using namespace std::chrono_literals;
using HubTesting::WaitFor;

class IdleHub : public Communication::Device::CHub {
 public:
  IdleHub() : CHub("idle", "test") {}

  void Run() override {
    ++running;
    if (stopItself.exchange(false)) {
      StopStream();
      stoppedItself.set_value();
      restarted.get_future().wait();
    }
    while (!StopRequested()) std::this_thread::sleep_for(1ms);
    --running;
  }

  std::atomic<int> running{0};
  std::atomic<bool> stopItself{false};
  std::promise<void> stoppedItself;
  std::promise<void> restarted;
};

TEST(StreamThread, StartsOnceAndStopsOnce) {
  LogCapture log;
  const auto hub = std::make_shared<IdleHub>();
  hub->StopStream();
  EXPECT_EQ(log.Count("<debug> stream already stopped"), 1u);

  hub->StartStream();
  hub->StartStream();
  EXPECT_EQ(log.Count("<debug> stream started"), 1u);
  EXPECT_EQ(log.Count("<debug> stream already started"), 1u);
  ASSERT_TRUE(WaitFor([&] { return hub->running == 1; }));

  hub->StopStream();
  EXPECT_EQ(hub->running, 0) << "StopStream returned before the loop ended";
  EXPECT_EQ(log.Count("<debug> stream stopped"), 1u);
  hub->StopStream();
  EXPECT_EQ(log.Count("<debug> stream already stopped"), 2u);

  // Close without a transport only stops the stream.
  hub->StartStream();
  hub->Close();
  EXPECT_EQ(hub->running, 0);
  EXPECT_FALSE(hub->IsStreaming());
}

TEST(StreamThread, AStopFromTheLoopItselfEndsThatLoopEvenAfterARestart) {
  const auto hub = std::make_shared<IdleHub>();
  hub->stopItself = true;
  hub->StartStream();
  hub->stoppedItself.get_future().wait();
  EXPECT_FALSE(hub->IsStreaming());

  // A new stream starts while the old loop has not yet looked at its flag.
  hub->StartStream();
  ASSERT_TRUE(WaitFor([&] { return hub->running == 2; }));
  hub->restarted.set_value();
  EXPECT_TRUE(WaitFor([&] { return hub->running == 1; })) << "the stopped loop runs on";
  hub->StopStream();
  EXPECT_EQ(hub->running, 0);
}

}  // namespace
