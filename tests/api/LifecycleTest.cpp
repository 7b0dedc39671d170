// What a host is left with after closing its device sets: no thread, no file
// descriptor, and handles free for the next open.

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"
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
    hubs.push_back(std::make_unique<SimHub::SimulatedHub>(SimHub::HubOptions{}));
    hubs.back()->AttachPty(scratch.Path(), com);
  }

  static std::string Parameters(int com) { return "device=bsmain raw;com=" + std::to_string(com); }

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

}  // namespace
