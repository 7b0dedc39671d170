// What a host is left with after closing its device sets: no thread, no file
// descriptor, and handles free for the next open.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "SelfClosingCallback.h"
#include "simhub/SimulatedHub.h"

namespace {

std::size_t Entries(const char* directory) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
  return count;
}

std::size_t Threads() { return Entries("/proc/self/task"); }
std::size_t Descriptors() { return Entries("/proc/self/fd"); }

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  // A base-station hub streaming on COM port `com`.
  void AddHub(int com) {
    SimHub::HubOptions options;
    options.sensors.resize(20);
    hubs.push_back(std::make_unique<SimHub::SimulatedHub>(options));
    hubs.back()->AttachPty(scratch.Path(), com);
  }

  // A read time-out that leaves a busy machine room to pass on the hub's
  // answers: an open that missed one would be no life cycle to test.
  static std::string Parameters(int com, const std::string& format = "raw") {
    return "device=bsmain " + format + ";com=" + std::to_string(com) + ";transmissiontimeout=1000";
  }

  // A set on the hub on COM port `com` whose frames reach the callback.
  static int OpenStreaming(SdkLibrary& sdk, int com) {
    return sdk.CreateDevice(1, "none.ini", Parameters(com, "quat").c_str());
  }

  ScratchDirectory scratch;
  std::vector<std::unique_ptr<SimHub::SimulatedHub>> hubs;
};

TEST_F(Lifecycle, ClosingStreamingSetsLeavesNoThreadOrDescriptor) {
  AddHub(1);
  AddHub(2);
  SdkLibrary sdk;
  const auto threads = Threads();
  const auto descriptors = Descriptors();

  const int first = sdk.CreateDevice(1, "none.ini", Parameters(1).c_str());
  const int second = sdk.CreateDevice(1, "none.ini", Parameters(2).c_str());
  ASSERT_EQ(first, 0);
  ASSERT_EQ(second, 1);
  ASSERT_TRUE(hubs[0]->WaitForDataFrames(1, std::chrono::seconds(10)));
  EXPECT_EQ(Threads(), threads + 2) << "one stream thread per open set";
  EXPECT_GT(Descriptors(), descriptors);

  EXPECT_TRUE(sdk.CloseDevice(second));
  EXPECT_TRUE(sdk.CloseDevice(first));
  EXPECT_EQ(Threads(), threads);
  EXPECT_EQ(Descriptors(), descriptors);
  EXPECT_FALSE(sdk.CloseDevice(first)) << "a closed handle is closed once";
}

TEST_F(Lifecycle, CloseWaitsForTheCallbackInProgress) {
  AddHub(3);
  SdkLibrary sdk;
  const auto threads = Threads();
  const int handle = OpenStreaming(sdk, 3);
  ASSERT_EQ(handle, 0);
  struct Callback {
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
  } callback;
  ASSERT_TRUE(sdk.SetReceiveDataCallback(
      handle,
      [](void*, void* user) {
        auto& self = *static_cast<Callback*>(user);
        self.inside = true;
        ++self.calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        self.inside = false;
      },
      &callback));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!callback.inside && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(callback.inside);

  EXPECT_TRUE(sdk.CloseDevice(handle));
  EXPECT_FALSE(callback.inside) << "CloseDevice returned while the callback ran";
  // No thread is left that could call it again.
  EXPECT_EQ(Threads(), threads) << "the stream thread outlived CloseDevice";
}

TEST_F(Lifecycle, ACallbackMayCloseItsOwnSet) {
  AddHub(5);
  SdkLibrary sdk;
  const auto threads = Threads();
  const int handle = OpenStreaming(sdk, 5);
  ASSERT_EQ(handle, 0);
  const auto closing = CloseFromOwnCallback(sdk, handle, threads);
  EXPECT_TRUE(closing.closed);
  EXPECT_EQ(closing.threads, threads) << "the stream thread did not end after closing itself";
  EXPECT_EQ(closing.calls, 1);
  EXPECT_FALSE(sdk.CloseDevice(handle));
}

TEST_F(Lifecycle, TheSmallestFreeHandleIsGivenAgain) {
  SdkLibrary sdk;
  // The emulator opens without a line, so sets come and go at once.
  const auto open = [&] { return sdk.CreateDevice(1, "none.ini", "device=emulator"); };
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(open(), 1);
  EXPECT_EQ(open(), 2);
  EXPECT_TRUE(sdk.CloseDevice(1));
  EXPECT_EQ(open(), 1);
  EXPECT_TRUE(sdk.CloseDevice(0));
  EXPECT_TRUE(sdk.CloseDevice(2));
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(open(), 2);
}

TEST_F(Lifecycle, AnOpenSetRefusesNullPointersAndBadLengths) {
  SdkLibrary sdk;
  const int handle = sdk.CreateDevice(1, "none.ini", "device=emulator");
  ASSERT_EQ(handle, 0);
  char buffer[16] = {};
  unsigned int length = sizeof buffer;
  const unsigned char image[2] = {1, 2};
  const std::vector<std::pair<const char*, long>> calls = {
      {"command text", sdk.SendImplementationSpecificCommand(handle, nullptr, nullptr, nullptr)},
      {"hub id buffer", sdk.GetHubId(handle, nullptr, 16)},
      {"hub id length 0", sdk.GetHubId(handle, buffer, 0)},
      {"hub id negative length", sdk.GetHubId(handle, buffer, -1)},
      {"sensor id buffer", sdk.GetSensorId(handle, 1, nullptr, 16)},
      {"sensor id negative length", sdk.GetSensorId(handle, 1, buffer, -4)},
      {"flash length pointer", sdk.GetSensorFlash(handle, 1, buffer, nullptr)},
      {"flash data", sdk.SetSensorFlash(handle, 1, nullptr, 2)},
      {"flash negative length", sdk.SetSensorFlash(handle, 1, image, -2)},
      {"process buffer", sdk.ProcessData(handle, nullptr)},
  };
  for (const auto& [name, result] : calls) EXPECT_EQ(result, 0) << name;
  EXPECT_EQ(length, sizeof buffer);
  // A length shorter than the id copies that many bytes and no terminator.
  buffer[3] = 'x';
  EXPECT_EQ(sdk.GetHubId(handle, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 4), "Emux");
  EXPECT_TRUE(sdk.CloseDevice(handle));
}

TEST_F(Lifecycle, AResetWhoseReopenFailsLeavesAHandleThatAnswersAsUnknown) {
  AddHub(4);
  SdkLibrary sdk;
  const int handle = sdk.CreateDevice(1, "none.ini", Parameters(4).c_str());
  ASSERT_EQ(handle, 0);
  hubs.clear();  // the line is gone: the reopen cannot find its hub
  EXPECT_TRUE(sdk.Reset(handle, 0, 0));
  char buffer[16];
  unsigned int length = sizeof buffer;
  EXPECT_EQ(sdk.GetHubId(handle, buffer, sizeof buffer), 0);
  EXPECT_FALSE(sdk.GetSensorFlash(handle, 1, buffer, &length));
  EXPECT_FALSE(sdk.SendImplementationSpecificCommand(handle, "get x", nullptr, nullptr));
  EXPECT_TRUE(sdk.Reset(handle, 2, 0)) << "the handle is still in the table";
  EXPECT_TRUE(sdk.CloseDevice(handle));
}

// Every head-tracking stage takes a reader of three shared keys; a key has
// room for 1,024 readers at a time, so the closed sets must give theirs back.
TEST_F(Lifecycle, ASetWithHeadTrackingStagesOpensAndClosesAgainAndAgain) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back(SimHub::SimSensor{"DKv5 Jan 10 2018", SimHub::Bytes(2048, 0), {}});
  hubs.push_back(std::make_unique<SimHub::SimulatedHub>(options));
  hubs.back()->AttachPty(scratch.Path(), 6);
  SdkLibrary sdk;
  const auto threads = Threads();
  // The simulator needs no pause between requests, which keeps the rounds short.
  for (int round = 0; round < 2000; ++round) {
    const int handle =
        sdk.CreateDevice(1, "none.ini", "device=dongle quatcalibratedt;com=6;headSensor=0;delaybetweenwriting=0");
    ASSERT_EQ(handle, 0) << "round " << round;
    ASSERT_TRUE(sdk.CloseDevice(handle)) << "round " << round;
  }
  EXPECT_EQ(Threads(), threads);
}

}  // namespace
