// How the built tool fails before it reaches a sensor: the SDK's settings
// file, the adapter discovery, the device opening and the input file, each
// with its exact output and status.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeSysfs.h"
#include "ScratchDirectory.h"
#include "ToolProcess.h"

namespace {

namespace fs = std::filesystem;

class DeviceOpening : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENLITH_TTY_DIR", (scratch.Path() / "dev").c_str(), 1);
    setenv("QUENLITH_SYSFS_ROOT", (scratch.Path() / "sys").c_str(), 1);
    fs::create_directories(scratch.Path() / "dev");
    scratch.Write("image.bin", std::string(2048, '\0'));
  }

  void WriteIni() const { scratch.Write("Quenlith_SDK_Lite.ini", "[worksetnode_1]\ndevice=usbcu\n"); }

  ScratchDirectory scratch;
};

const std::vector<std::string> kEveryDeviceMode[] = {
    {"--fields"},
    {"--temp"},
    {"--dump", "--output", "out.bin"},
    {"--backup"},
    {"--restore", "--input", "image.bin"},
    {"--configure-for-hardware-gyro-calibration"},
    {"--update-magnetometer-gain", "--magnetometer-gain", "42", "--force"},
    {"--update-magnetometer-channel", "--magnetometer-channel", "1"},
    {"--set-hardware-gyro-calibration-disable", "--hardware-gyro_calibration-disable", "0"},
    {"--update-hardware-gyro-calibration-duration", "--hardware-gyro-calibration-duration", "131"},
    {"--minimize-delays"},
    {"--smart-configuration"},
    {"--update-gyro-bias", "--gyro-vector", "100", "-200", "0"},
    {"--update-gyro-correction", "--gyro-vector", "1", "2", "3"},
};

std::string Words(const std::vector<std::string>& arguments) {
  std::string line;
  for (const auto& word : arguments) line += " " + word;
  return line;
}

TEST_F(DeviceOpening, EachFailureBeforeTheSensorHasItsExactOutput) {
  const struct {
    const char* what;
    bool ini;
    std::vector<FakeUsbTty> adapters;
    std::string out;
  } cases[] = {
      {"no settings file", false, {{"ttyUSB3", kFtdiVendor, kQuenlithProduct, "Q"}},
       "ERROR: can't find the Quenlith INI file\n"},
      {"no adapter", true, {}, "enumerating...\nERROR: the device could not be found\n"},
      {"only other devices", true, {{"ttyUSB1", 0x10C4, 0xEA60, "CP2102"}},
       "enumerating...\nERROR: the device could not be found\n"},
      {"two adapters", true,
       {{"ttyUSB3", kFtdiVendor, kQuenlithProduct, "Q"}, {"ttyUSB4", kFtdiVendor, kMarvessaProduct, "M"}},
       "enumerating...\nERROR: more than one device was found. Please make sure only one device is plugged in\n"},
      {"an adapter whose port does not open", true, {{"ttyUSB3", kFtdiVendor, kTorvelProduct, "T"}},
       "enumerating...\ninitializing...\nERROR: cannot open the device\n"},
  };
  for (const auto& c : cases) {
    fs::remove_all(scratch.Path() / "sys");
    fs::remove(scratch.Path() / "Quenlith_SDK_Lite.ini");
    MakeFakeSysfs(scratch.Path() / "sys", c.adapters);
    if (c.ini) WriteIni();
    for (auto arguments : kEveryDeviceMode) {
      const ToolRun run = RunTool(arguments);
      EXPECT_EQ(run.out, c.out) << c.what << ":" << Words(arguments);
      EXPECT_EQ(run.status, 1) << c.what << ":" << Words(arguments);
      EXPECT_EQ(run.err, "") << c.what << ":" << Words(arguments);
    }
    // "update" announces itself first.
    const ToolRun update = RunTool({"--update"});
    EXPECT_EQ(update.out, "opening device...\n" + c.out) << c.what;
    EXPECT_EQ(update.status, 1) << c.what;
  }
  EXPECT_FALSE(fs::exists(scratch.Path() / "out.bin"));
}

// The settings file's name is spelled exactly; any entry of that name will do.
TEST_F(DeviceOpening, TheSettingsFileNameIsExact) {
  MakeFakeSysfs(scratch.Path() / "sys", {});
  scratch.Write("quenlith_sdk_lite.ini", "[worksetnode_1]\n");
  EXPECT_EQ(RunTool({"--fields"}).out, "ERROR: can't find the Quenlith INI file\n");
  fs::create_directory(scratch.Path() / "Quenlith_SDK_Lite.ini");
  EXPECT_EQ(RunTool({"--fields"}).out, "enumerating...\nERROR: the device could not be found\n");
}

// The input is read before the device is opened, so nothing is opened for an
// input that holds no image. Only a regular file holds one: a FIFO would block
// the tool and a device would never end.
TEST_F(DeviceOpening, RestoreRefusesAnUnreadableInputBeforeOpening) {
  WriteIni();
  MakeFakeSysfs(scratch.Path() / "sys", {{"ttyUSB3", kFtdiVendor, kQuenlithProduct, "Q"}});
  fs::create_directory(scratch.Path() / "directory");
  ASSERT_EQ(mkfifo((scratch.Path() / "fifo").c_str(), 0600), 0);
  const struct {
    std::string input;
    std::string out;
  } cases[] = {
      {"directory", "ERROR: can't open input file for reading\n"},
      {"/proc/self/mem", "ERROR: can't open input file for reading\n"},
      {"fifo", "ERROR: can't open input file for reading\n"},
      {"/dev/zero", "ERROR: can't open input file for reading\n"},
      {"missing.bin", "ERROR: the input path does not exist\n"},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool({"--restore", "--input", c.input});
    EXPECT_EQ(run.out, c.out) << c.input;
    EXPECT_EQ(run.status, 1) << c.input;
  }
}

// Other programs link against the tool for the flash image class: every
// member is in its dynamic symbol table.
TEST(FlashToolBinary, ExportsTheFlashImageClass) {
  const std::set<std::string> exported =
      NmSymbols(std::string(NM_TOOL) + " -DC --defined-only " + FLASH_TOOL_EXECUTABLE);
  for (const char* member : {
           "Dorvek_Flasher::Dorvek_Flasher()",
           "Dorvek_Flasher::Dorvek_Flasher(Dorvek_Flasher const&)",
           "Dorvek_Flasher::operator=(Dorvek_Flasher const&)",
           "Dorvek_Flasher::~Dorvek_Flasher()",
           "Dorvek_Flasher::readFlash(int, int)",
           "Dorvek_Flasher::writeFlash()",
           "Dorvek_Flasher::readFlashFromFile(char const*)",
           "Dorvek_Flasher::writeFlashToFile(char const*)",
           "Dorvek_Flasher::readFlashFromData(std::__cxx11::basic_string<char, std::char_traits<char>, "
           "std::allocator<char> > const&)",
           "Dorvek_Flasher::writeFlashToData(std::__cxx11::basic_string<char, std::char_traits<char>, "
           "std::allocator<char> >&)",
           "Dorvek_Flasher::changeBlock(unsigned int, unsigned int, unsigned int, unsigned char*, bool)",
       })
    EXPECT_EQ(exported.count(member), 1u) << member;
}

}  // namespace
