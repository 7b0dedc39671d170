// The built tool against a simulated sensor: every mode family end to end,
// judged by the exact standard output, the exit status, the files left in
// the working directory and the sensor's flash image afterwards.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SensorHarness.h"
#include "ToolProcess.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kNew6 = "QN DKv6 IMU Mar 12 2019";
const std::string kOld6 = "QN DKv6 IMU Sep 14 2017";
const std::string kEdge6 = "QN DKv6 IMU Sep 15 2017";
const std::string kNew5 = "QN DKv5 IMU Mar 12 2019";
const std::string kNew4 = "QN DKv4 IMU Jan 10 2018";

// A DKv6 image with a known value in every field over a patterned background;
// one temperature record has a second IT word, so it counts as calibrated.
std::string Dkv6Image(bool temperatureCalibrated = true) {
  std::string image = PatternImage(2048);
  image.replace(216, 432, std::string(432, '\0'));
  return Patched(image, {
                            {6, 7, 2},  // bus address on a USB CU hub
                            {8, 1234},
                            {48, 100},
                            {52, static_cast<std::uint32_t>(-200)},
                            {56, 0},
                            {1152, static_cast<std::uint32_t>(-67108)},
                            {1156, 1},
                            {1160, 2},
                            {1168, 56371445},  // 0.42 of full gain
                            {1100, 1},
                            {1096, 1},
                            {1078, 1250, 2},
                            {1076, 7, 2},
                            {1384, 0x04000000},
                            {1388, 0},
                            {1392, 0},
                            {1396, 0},
                            {1400, 0x08000000},
                            {216 + 16 * 3 + 2, temperatureCalibrated ? 5u : 0u, 2},
                        });
}

std::string Dkv5Image() {
  return Patched(PatternImage(2048), {{6, 7, 2}, {8, 55}, {48, 1}, {52, 2}, {56, 3}, {1168, 0x08000000}});
}

// With its factory field backup in place (marker at 356), as a calibrated
// sensor's image is, so that the SDK's calibration load leaves it as it is.
std::string Dkv4Image() {
  return Patched(PatternImage(512),
                 {{6, 7, 2}, {8, 4}, {26, 0xC000, 2}, {28, 16, 2}, {30, 0xFFFF, 2}, {356, 0x6969, 2}});
}

constexpr std::uint16_t kFlashWrite = 0x0600;  // the hub protocol's flash write request

const std::string kOpened = "enumerating...\ninitializing...\n";
const std::string kClosed = "closing the device...\n";
const std::string kForced = "WARNING: bypassing version check\n";

const std::string kDkv6Fields =
    "type: DKv6\nserial: 1234\ngyro bias X: 100\ngyro bias Y: -200\ngyro bias Z: 0\n"
    "gyro correction X: -67108\ngyro correction Y: 1\ngyro correction Z: 2\n"
    "magnetometer gain: 42\nmagnetometer channel: 1\ngyro calibration disable: 1\ntaring duration: 2 s\n"
    "warm up time: 7\nbias coefficient 1: 0.5\nbias coefficient 2: 0\nbias coefficient 3: 0\n"
    "bias coefficient 4: 0\nbias coefficient 5: 1\n";

std::string Words(const std::vector<std::string>& arguments) {
  std::string line;
  for (const auto& word : arguments) line += " " + word;
  return line;
}

struct ModeCase {
  const char* what;
  SensorSetup sensor;
  std::vector<std::string> arguments;
  std::string out;
  int status;
  std::string imageAfter;  // empty: the image must be as before
};

class SensorModes : public ::testing::Test {
 protected:
  // Runs each case against a fresh sensor: exact output, status, silence on
  // standard error, and the image afterwards.
  void RunCases(const std::vector<ModeCase>& cases) {
    for (const auto& c : cases) {
      SensorHarness harness;
      harness.Start(c.sensor);
      const ToolRun run = RunTool(c.arguments);
      const std::string what = std::string(c.what) + ":" + Words(c.arguments);
      EXPECT_EQ(run.out, c.out) << what;
      EXPECT_EQ(run.status, c.status) << what;
      EXPECT_EQ(run.err, "") << what;
      EXPECT_EQ(harness.Image(), c.imageAfter.empty() ? c.sensor.image : c.imageAfter) << what;
      EXPECT_EQ(harness.NewFiles(), std::vector<std::string>{}) << what;
      // A refused run refuses before anything is sent to the flash.
      if (c.status != 0) {
        EXPECT_FALSE(harness.Hub().WaitForRequest(kFlashWrite, 0ms)) << what;
      }
    }
  }
};

TEST_F(SensorModes, FieldsAndTemperatureShowTheImage) {
  std::string temperature;
  for (int k = 0; k < 27; ++k)
    temperature += "temperature correction parameter " + std::to_string(k) + "\n\tIT: [0, " +
                   (k == 3 ? "5" : "0") + "]\n\tKX: [0, 0, 0]\n";
  const std::string version6 = "version: " + kNew6 + "\nbus address: 1\n";
  RunCases({
      {"calibrated DKv6", {"dongle", kNew6, Dkv6Image()}, {"--fields"},
       kOpened + version6 + kDkv6Fields + "is temperature calibrated: yes\n" + kClosed, 0, ""},
      {"uncalibrated DKv6 of old firmware", {"dongle", kOld6, Dkv6Image(false)}, {"-f"},
       kOpened + "version: " + kOld6 + "\nbus address: 1\n" + kDkv6Fields + "is temperature calibrated: no\n" + kClosed,
       0, ""},
      {"DKv4", {"dongle", kNew4, Dkv4Image()}, {"--fields"},
       kOpened + "version: " + kNew4 +
           "\nbus address: 1\ntype: DKv4\nserial: 4\ngyro bias X: -16384\ngyro bias Y: 16\ngyro bias Z: -1\n"
           "is temperature calibrated: WARNING: no temperature correction parameters were loaded\nno\n" + kClosed,
       0, ""},
      {"DKv5", {"dongle", kNew5, Dkv5Image()}, {"--fields"},
       kOpened + "version: " + kNew5 +
           "\nbus address: 1\ntype: DKv5\nserial: 55\ngyro bias X: 1\ngyro bias Y: 2\ngyro bias Z: 3\n"
           "magnetometer gain: 100\n"
           "is temperature calibrated: WARNING: no temperature correction parameters were loaded\nno\n" + kClosed,
       0, ""},
      {"DKv6 records", {"dongle", kNew6, Dkv6Image()}, {"--temp"}, kOpened + version6 + temperature + kClosed, 0, ""},
      {"DKv5 has no records", {"dongle", kNew5, Dkv5Image()}, {"-t"},
       kOpened + "version: " + kNew5 + "\nbus address: 1\nWARNING: no temperature correction parameters were loaded\n" +
           kClosed,
       0, ""},
  });
}

// The sensor is found wherever it answers, and refused when it is not one of
// the known generations or its image does not have its layout's size.
TEST_F(SensorModes, SensorsThatCannotBeServed) {
  RunCases({
      {"unknown generation", {"dongle", "QN DKv3 IMU Mar 12 2019", PatternImage(2048)}, {"--fields"},
       kOpened + kClosed + "ERROR: the sensor with ID \"QN DKv3 IMU Mar 12 2019\" is not supported\n", 1, ""},
      {"DKv6 with a DKv4 image", {"dongle", kNew6, Dkv4Image()}, {"--backup"},
       kOpened + kClosed + "ERROR: the expected size of the memory layout is incorrect\n", 1, ""},
      {"DKv4 with a DKv6 image", {"dongle", kNew4, Dkv6Image()}, {"--dump", "--output", "out.bin"},
       kOpened + kClosed + "ERROR: the expected size of the memory layout is incorrect\n", 1, ""},
      // A sensor whose image could not be read has none: it shows no fields and makes no backup.
      {"no image", {"dongle", kNew6, ""}, {"--fields"},
       kOpened + "version: " + kNew6 + "\nbus address: 1\n" + kClosed +
           "ERROR: can't read the flash memory of the sensor\n",
       1, ""},
      {"no image, backup", {"dongle", kNew6, ""}, {"--backup"},
       kOpened + kClosed + "ERROR: can't read the flash memory of the sensor\n", 1, ""},
      {"no image, update", {"dongle", kNew6, ""}, {"--update"},
       "opening device...\n" + kOpened + kClosed + "ERROR: can't read the flash memory of the sensor\n", 1, ""},
  });
}

// A USB CU hub answers for the sensor whose image holds the bus address, for
// reads and writes alike.
TEST_F(SensorModes, AUsbCuSensorIsFoundAtItsBusAddress) {
  RunCases({
      {"bus address 7", {"usbcu", kNew6, Dkv6Image()}, {"--fields"},
       kOpened + "version: " + kNew6 + "\nbus address: 7\n" + kDkv6Fields + "is temperature calibrated: yes\n" + kClosed,
       0, ""},
      {"no bus address", {"usbcu", kNew6, Patched(Dkv6Image(), {{6, 300, 2}})}, {"--fields"},
       kOpened + kClosed + "ERROR: can't retrieve the bus address\n", 1, ""},
      {"a write at bus address 7", {"usbcu", kNew6, Dkv6Image()}, {"-m", "--magnetometer-gain", "100"},
       kOpened + kClosed, 0, Patched(Dkv6Image(), {{1168, 0x08000000}})},
  });
}

TEST_F(SensorModes, DumpAndBackupSaveTheImageWhole) {
  for (const auto& setup : {SensorSetup{"dongle", kNew6, Dkv6Image()}, SensorSetup{"dongle", kNew4, Dkv4Image()}}) {
    SensorHarness harness;
    harness.Start(setup);
    ToolRun run = RunTool({"--dump", "--output", "image.bin"});
    EXPECT_EQ(run.out, kOpened + "dumping...\n" + kClosed) << setup.identity;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(harness.Scratch().Read("image.bin"), setup.image);

    run = RunTool({"-b"});
    EXPECT_EQ(run.out, kOpened + "backing up contents of flash memory...\n" + kClosed) << setup.identity;
    EXPECT_EQ(run.status, 0);
    const auto files = harness.NewFiles();
    ASSERT_EQ(files.size(), 2u) << setup.identity;
    EXPECT_EQ(files[0], "image.bin");
    const std::string key = setup.image.size() == 512 ? "dkv4_4" : "dkv6_1234";
    EXPECT_TRUE(std::regex_match(files[1], std::regex("imu_flash_backup_" + key + R"(_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d\.dat)")))
        << files[1];
    EXPECT_EQ(harness.Scratch().Read(files[1]), setup.image);
    EXPECT_EQ(harness.Image(), setup.image);
  }
}

// A file that cannot be written whole is an error and does not stay behind;
// "update" changes nothing without its backup.
TEST_F(SensorModes, FilesThatCannotBeWrittenWholeAreErrors) {
  SensorHarness harness;
  harness.Start({"dongle", kNew6, Dkv6Image()});
  const ToolLimits small{1000};  // bytes per file: the image does not fit
  const struct {
    std::vector<std::string> arguments;
    ToolLimits limits;
    std::string out;
  } cases[] = {
      {{"--backup"}, small,
       kOpened + "backing up contents of flash memory...\n" + kClosed +
           "ERROR: can't create the IMU flash memory backup\n"},
      {{"--update"}, small,
       "opening device...\n" + kOpened + "backing up contents of flash memory...\n" + kClosed +
           "ERROR: can't create the IMU flash memory backup\n"},
      {{"--dump", "--output", "image.bin"}, small,
       kOpened + "dumping...\n" + kClosed + "ERROR: can't write the whole image to the output file\n"},
      {{"--dump", "--output", "/dev/full"}, {},
       kOpened + "dumping...\n" + kClosed + "ERROR: can't write the whole image to the output file\n"},
      {{"--dump", "--output", "dir"}, {}, kOpened + kClosed + "ERROR: can't open output file for writing\n"},
  };
  fs::create_directory(harness.Scratch().Path() / "dir");
  for (const auto& c : cases) {
    const ToolRun run = RunTool(c.arguments, c.limits);
    EXPECT_EQ(run.out, c.out) << Words(c.arguments);
    EXPECT_EQ(run.status, 1) << Words(c.arguments);
    EXPECT_EQ(harness.NewFiles(), std::vector<std::string>{"dir"}) << Words(c.arguments);
  }
  EXPECT_FALSE(harness.Hub().WaitForRequest(kFlashWrite, 0ms));
  EXPECT_EQ(harness.Image(), Dkv6Image());
}

TEST_F(SensorModes, RestoreWritesOnlyAnImageOfTheLayoutsSize) {
  const std::string image = Dkv6Image();
  const std::string other = Patched(image, {{1000, 0xDEADBEEF}});
  SensorHarness sizes;
  sizes.Start({"dongle", kNew6, image});
  sizes.Scratch().Write("short.bin", other.substr(0, 2047));
  sizes.Scratch().Write("long.bin", other + "x");
  sizes.Scratch().Write("empty.bin", "");
  for (const std::string input : {"short.bin", "long.bin", "empty.bin", "/dev/zero"}) {
    const ToolRun run = RunTool({"--restore", "--input", input});
    EXPECT_EQ(run.out, kOpened + "restoring...\n" + kClosed + "ERROR: the expected size of the memory layout is incorrect\n")
        << input;
    EXPECT_EQ(run.status, 1) << input;
  }
  EXPECT_FALSE(sizes.Hub().WaitForRequest(kFlashWrite, 0ms));
  EXPECT_EQ(sizes.Image(), image);
  sizes.Stop();

  SensorHarness harness;
  harness.Start({"dongle", kNew6, image});
  harness.Scratch().Write("in.bin", other);
  const ToolRun run = RunTool({"-r", "-i", "in.bin"});
  EXPECT_EQ(run.out, kOpened + "restoring...\n" + kClosed);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(harness.Image(), other);
}

// A write that the sensor does not take is an error, never a success; so is
// a read that does not bring the whole image.
TEST_F(SensorModes, FailedFlashTransfersAreErrors) {
  const struct {
    SimHub::Fault fault;
    std::vector<std::string> arguments;
    std::string out;
  } cases[] = {
      {SimHub::Fault::WriteRefused, {"--update-magnetometer-gain", "--magnetometer-gain", "0"},
       kOpened + kClosed + "ERROR: can't write the flash memory of the sensor\n"},
      {SimHub::Fault::WriteRefused, {"--restore", "--input", "in.bin"},
       kOpened + "restoring...\n" + kClosed + "ERROR: can't write the flash memory of the sensor\n"},
      {SimHub::Fault::ShortFlashRead, {"--fields"},
       kOpened + "version: " + kNew6 + "\nbus address: 1\n" + kClosed +
           "ERROR: the expected size of the memory layout is incorrect\n"},
  };
  for (const auto& c : cases) {
    SensorHarness harness;
    harness.Start({"dongle", kNew6, Dkv6Image()});
    harness.Scratch().Write("in.bin", Patched(Dkv6Image(), {{2000, 1}}));
    harness.Hub().InjectFault(c.fault, 10);
    const ToolRun run = RunTool(c.arguments);
    EXPECT_EQ(run.out, c.out) << Words(c.arguments);
    EXPECT_EQ(run.status, 1) << Words(c.arguments);
    EXPECT_EQ(harness.Image(), Dkv6Image()) << Words(c.arguments);
  }
}

// Each writing mode changes exactly its own fields, encoded as the layout
// says; outdated firmware is refused unless forced.
TEST_F(SensorModes, MagnetometerModes) {
  const std::string image = Dkv6Image();
  RunCases({
      {"gain 0", {"dongle", kNew6, image}, {"--update-magnetometer-gain", "--magnetometer-gain", "0"},
       kOpened + kClosed, 0, Patched(image, {{1168, 0}})},
      {"gain 100 forced on old firmware", {"dongle", kOld6, image}, {"-m", "--magnetometer-gain", "100", "--force"},
       kOpened + kForced + kClosed, 0, Patched(image, {{1168, 0x08000000}})},
      {"gain on old firmware", {"dongle", kOld6, image}, {"-m", "--magnetometer-gain", "42"},
       kOpened + kClosed + "ERROR: can't update the magnetometer gain. The flash memory layout is outdated\n", 1, ""},
      {"gain on DKv4", {"dongle", kNew4, Dkv4Image()}, {"-m", "--magnetometer-gain", "42"},
       kOpened + "WARNING: the current device does not expose the magnetometer gain in the flash\n" + kClosed, 0, ""},
      {"channel on the cut-off date", {"dongle", kEdge6, image}, {"-c", "--magnetometer-channel", "0"},
       kOpened + kClosed, 0, Patched(image, {{1100, 0}})},
      {"channel on DKv5", {"dongle", kNew5, Dkv5Image()}, {"-c", "--magnetometer-channel", "1"},
       kOpened + "WARNING: the current device does not expose the magnetometer channel in the flash\n" + kClosed, 0, ""},
      {"channel on old firmware", {"dongle", kOld6, image}, {"-c", "--magnetometer-channel", "1"},
       kOpened + kClosed + "ERROR: can't update the magnetometer channel. The flash memory layout is outdated\n", 1, ""},
  });
}

TEST_F(SensorModes, HardwareGyroCalibrationModes) {
  const std::string image = Dkv6Image();
  const std::vector<Patch> configured = {{1076, 0, 2}, {1384, 0}, {1400, 0x08000000}, {1078, 500, 2},
                                         {1168, 0},    {1100, 0}, {1096, 0}};
  std::vector<Patch> longest = configured;
  longest[3] = {1078, 65500, 2};
  RunCases({
      {"disable 0", {"dongle", kNew6, image},
       {"--set-hardware-gyro-calibration-disable", "--hardware-gyro_calibration-disable", "0"}, kOpened + kClosed, 0,
       Patched(image, {{1096, 0}})},
      {"disable on old firmware", {"dongle", kOld6, image},
       {"--set-hardware-gyro-calibration-disable", "--hardware-gyro_calibration-disable", "0"},
       kOpened + kClosed + "ERROR: can't update the hardware gyro calibration disable. The flash memory layout is outdated\n",
       1, ""},
      {"duration 131", {"dongle", kNew6, image},
       {"--update-hardware-gyro-calibration-duration", "--hardware-gyro-calibration-duration", "131"},
       kOpened + kClosed, 0, Patched(image, {{1078, 65500, 2}})},
      {"duration on old firmware", {"dongle", kOld6, image},
       {"--update-hardware-gyro-calibration-duration", "--hardware-gyro-calibration-duration", "3"},
       kOpened + kClosed +
           "ERROR: can't update the hardware gyro calibration duration. The flash memory layout is outdated\n",
       1, ""},
      {"configure", {"dongle", kNew6, image}, {"--configure-for-hardware-gyro-calibration"}, kOpened + kClosed, 0,
       Patched(image, configured)},
      {"configure 131 s forced", {"dongle", kOld6, image},
       {"--configure-for-hardware-gyro-calibration", "--hardware-gyro-calibration-duration", "131", "--force"},
       kOpened + kForced + kClosed, 0, Patched(image, longest)},
      {"configure DKv5", {"dongle", kNew5, Dkv5Image()}, {"--configure-for-hardware-gyro-calibration"},
       kOpened + kClosed + "ERROR: the taring fields are only valid for DKv6 boards\n", 1, ""},
  });
}

TEST_F(SensorModes, SmartConfigurationAndDelays) {
  const std::string image = Dkv6Image();
  const std::string uncalibrated = Patched(Dkv6Image(false), {{1096, 0}});
  RunCases({
      {"temperature calibrated", {"dongle", kNew6, image}, {"--smart-configuration"}, kOpened + kClosed, 0,
       Patched(image, {{1076, 0, 2}, {1384, 0}, {1400, 0x08000000}, {1078, 500, 2}, {1168, 0}, {1100, 0}, {1096, 0}})},
      {"not temperature calibrated", {"dongle", kNew6, uncalibrated}, {"--smart-configuration"}, kOpened + kClosed, 0,
       Patched(uncalibrated, {{1096, 1}})},
      {"DKv5", {"dongle", kNew5, Dkv5Image()}, {"--smart-configuration"},
       kOpened + "WARNING: no temperature correction parameters were loaded\n"
                 "WARNING: the current device does not support the hardware gyro calibration\n" + kClosed,
       0, ""},
      {"old firmware", {"dongle", kOld6, image}, {"--smart-configuration"},
       kOpened + kClosed + "ERROR: can't configure hardware gyro calibration. The flash memory layout is outdated\n", 1,
       ""},
      {"minimize delays", {"dongle", kNew6, image}, {"--minimize-delays"}, kOpened + kClosed, 0,
       Patched(image, {{1076, 0, 2}, {1384, 0}, {1400, 0x08000000}})},
      {"minimize delays on DKv5", {"dongle", kNew5, Dkv5Image()}, {"--minimize-delays"},
       kOpened + kClosed + "ERROR: the taring fields are only valid for DKv6 boards\n", 1, ""},
      {"minimize delays on old firmware", {"dongle", kOld6, image}, {"--minimize-delays"},
       kOpened + kClosed + "ERROR: can't minimize initialization delays. The flash memory layout is outdated\n", 1, ""},
  });
}

TEST_F(SensorModes, GyroVectorModes) {
  const std::string image = Dkv6Image();
  RunCases({
      {"bias", {"dongle", kNew6, image}, {"--update-gyro-bias", "--gyro-vector", "7", "-8", "9"}, kOpened + kClosed, 0,
       Patched(image, {{48, 7}, {52, static_cast<std::uint32_t>(-8)}, {56, 9}})},
      {"bias on DKv5", {"dongle", kNew5, Dkv5Image()}, {"--update-gyro-bias", "--gyro-vector", "7", "-8", "9"},
       kOpened + kClosed + "ERROR: can only update the gyro bias of DKv6 sensors\n", 1, ""},
      {"bias on old firmware", {"dongle", kOld6, image}, {"--update-gyro-bias", "--gyro-vector", "7", "-8", "9"},
       kOpened + kClosed + "ERROR: can't update the gyro bias. The flash memory layout is outdated\n", 1, ""},
      {"correction forced", {"dongle", kOld6, image},
       {"--update-gyro-correction", "--force", "--gyro-vector", "-1", "0", "65536"}, kOpened + kForced + kClosed, 0,
       Patched(image, {{1152, 0xFFFFFFFF}, {1156, 0}, {1160, 65536}})},
      {"correction on DKv4", {"dongle", kNew4, Dkv4Image()}, {"--update-gyro-correction", "--gyro-vector", "1", "2", "3"},
       kOpened + kClosed + "ERROR: can only update the gyro correction of DKv6 sensors\n", 1, ""},
  });
}

// "update" saves the image first, then writes the current layout built from it.
TEST_F(SensorModes, UpdateBacksUpThenUpgrades) {
  const std::string image = Dkv6Image();
  std::string upgraded = image;
  upgraded.replace(648, 1024 - 648, std::string(1024 - 648, '\0'));
  upgraded.replace(1072, 2044 - 1072, std::string(2044 - 1072, '\0'));
  upgraded = Patched(upgraded, {
      {0, 65536000}, {4, 2000, 2}, {12, 96, 2}, {972, 0x001CAC08}, {976, 0x000C49BA}, {980, 0x00147AE1},
      {1072, 0x00083127}, {1076, 0x03E80001}, {1080, 100}, {1084, 16}, {1092, 0x0010624E},
      {1116, 0x08000000}, {1132, 0x08000000}, {1148, 0x08000000}, {1164, 0x08000000}, {1180, 0x08000000},
      {1196, 0x08000000}, {1324, 0xFCB29513}, {1328, 0x0924D2F6}, {1332, 0x008A25FE}, {1336, 0x01144BFB},
      {1340, 0x008A25FE}, {1344, 0xFCB29513}, {1348, 0x0924D2F6}, {1352, 0x008A25FE}, {1356, 0x01144BFB},
      {1360, 0x008A25FE}, {1364, 0xFCB29513}, {1368, 0x0924D2F6}, {1372, 0x008A25FE}, {1376, 0x01144BFB},
      {1380, 0x008A25FE}, {1400, 0x08000000}, {1404, 0xF801D1AA}, {1408, 0x0FFE2E21}, {1412, 13}, {1416, 26},
      {1420, 13}});
  const std::string backedUp = "opening device...\n" + kOpened + "backing up contents of flash memory...\n"
                               "upgrading the flash memory layout...\n";
  const struct {
    SensorSetup sensor;
    std::string out;
    int status;
    std::string imageAfter;
  } cases[] = {
      {{"dongle", kNew6, image},
       backedUp + "Flash read.\nFlash update written.\nwriting upgraded flash memory layout to device...\n" + kClosed, 0,
       upgraded},
      {{"dongle", kNew4, Dkv4Image()}, backedUp + kClosed + "ERROR: Flash read error.\n", 1, Dkv4Image()},
  };
  for (const auto& c : cases) {
    SensorHarness harness;
    harness.Start(c.sensor);
    const ToolRun run = RunTool({"--update"});
    EXPECT_EQ(run.out, c.out) << c.sensor.identity;
    EXPECT_EQ(run.status, c.status) << c.sensor.identity;
    EXPECT_EQ(harness.Image(), c.imageAfter) << c.sensor.identity;
    EXPECT_EQ(harness.Hub().WaitForRequest(kFlashWrite, 0ms), c.status == 0) << c.sensor.identity;
    const auto files = harness.NewFiles();
    ASSERT_EQ(files.size(), 1u) << c.sensor.identity;
    EXPECT_EQ(harness.Scratch().Read(files[0]), c.sensor.image) << c.sensor.identity;
  }
}

}  // namespace
