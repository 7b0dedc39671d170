// The exported flash image class against a simulated sensor, through the SDK
// in this process.
#include <string>

#include <gtest/gtest.h>

#include "DorvekFlasher.h"
#include "SensorHarness.h"
#include "quenlith_sdk_lite.h"

namespace {

constexpr int kDongleBusAddress = 1;

TEST(DorvekFlasherOnASensor, ReadsOnlyWhatFitsItsBuffer) {
  const struct {
    std::string image;
    bool read;
    std::string printed;
  } cases[] = {
      {PatternImage(512), true, "512\n"},
      {PatternImage(2048), true, "2048\n"},
      // A larger image does not fit: the read fails and the size stays within the buffer.
      {PatternImage(4096), false, "4096\n"},
  };
  for (const auto& c : cases) {
    SensorHarness harness;
    harness.Start({"dongle", "QN DKv6 IMU Mar 12 2019", c.image});
    const int handle = iQuenlith_SDK_Lite_CreateDevice(1, "Quenlith_SDK_Lite.ini", ("com=" + std::to_string(kSensorCom)).c_str());
    ASSERT_GE(handle, 0);
    Dorvek_Flasher flasher;
    const std::string before(reinterpret_cast<const char*>(flasher.image), Dorvek_Flasher::kCapacity);
    testing::internal::CaptureStdout();
    EXPECT_EQ(flasher.readFlash(handle, kDongleBusAddress), c.read) << c.image.size();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_LE(flasher.size, Dorvek_Flasher::kCapacity);
    std::string data;
    flasher.writeFlashToData(data);
    if (c.read) {
      EXPECT_EQ(data, c.image);
    } else {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(flasher.image), Dorvek_Flasher::kCapacity), before);
    }
    iQuenlith_SDK_Lite_CloseDevice(handle);
  }
}

TEST(DorvekFlasherOnASensor, WritesAChangedBlockBack) {
  SensorHarness harness;
  // The factory field backup in place, so that the SDK's calibration load
  // leaves the image as it is.
  const std::string image = Patched(PatternImage(512), {{356, 0x6969, 2}});
  harness.Start({"dongle", "QN DKv4 IMU Jan 10 2018", image});
  const int handle = iQuenlith_SDK_Lite_CreateDevice(1, "Quenlith_SDK_Lite.ini", ("com=" + std::to_string(kSensorCom)).c_str());
  ASSERT_GE(handle, 0);
  Dorvek_Flasher flasher;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(flasher.readFlash(handle, kDongleBusAddress));
  testing::internal::GetCapturedStdout();
  unsigned char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  flasher.changeBlock(504, 512, 8, block, false);
  EXPECT_TRUE(flasher.writeFlash());
  iQuenlith_SDK_Lite_CloseDevice(handle);
  EXPECT_EQ(harness.Image(), image.substr(0, 504) + std::string(reinterpret_cast<const char*>(block), 8));
}

}  // namespace
