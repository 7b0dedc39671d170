// The tool's command line as a user meets it: the built executable run as its
// own process in a scratch directory, judged by its exact standard output, its
// silence on standard error and its exit status.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "ToolProcess.h"

namespace {

class FlashToolCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nothing the tool does may reach a real port or adapter.
    setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
    setenv("QUENLITH_SYSFS_ROOT", scratch.Path().c_str(), 1);
    std::filesystem::create_directory(scratch.Path() / "existing-dir");
    scratch.Write("image.bin", std::string(2048, '\0'));
  }

  ScratchDirectory scratch;
};

std::string Error(const std::string& message) { return "ERROR: " + message + "\n"; }

std::string Join(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) line += (line.empty() ? "" : " ") + ("'" + word + "'");
  return line;
}

const std::string kGain = Error("the magnetometer gain must be within [0,100]");
const std::string kChannel = Error("the magnetometer channel must be either 0 or 1");
const std::string kDisable = Error("the hardware gyro calibration disbale must be either 0 or 1");
const std::string kDuration = Error("the duration of the hardware gyro calibration must be within [0,131]");
const std::string kSource = Error("parameter gyro-source must be one of: calibrated,raw");
const std::string kVector = Error("the gyro vector needs exactly three numeric values");
const std::string kVersion = "0.25.10\n";

// A sensor mode gets as far as looking for the SDK's settings file.
const std::string kNoIni = Error("can't find the Quenlith INI file");

TEST_F(FlashToolCommandLine, EveryLineGivesItsExactOutputAndStatus) {
  const struct {
    std::vector<std::string> arguments;
    std::string out;
    int status;
  } cases[] = {
      // Nothing to do.
      {{}, "", 0},
      {{"--magnetometer-gain", "42"}, "", 0},
      {{"--magnetometer-gain", "200"}, kGain, 1},

      // At most one mode, named in registration order.
      {{"--fields", "--dump", "--output", "out.bin"},
       Error("the following options can't be used simultaneously: fields, dump"), 1},
      {{"--dump", "-o", "out.bin", "--fields"},
       Error("the following options can't be used simultaneously: fields, dump"), 1},
      {{"-fb"}, Error("the following options can't be used simultaneously: fields, backup"), 1},
      {{"-bf"}, Error("the following options can't be used simultaneously: fields, backup"), 1},
      {{"--help", "--version"}, Error("the following options can't be used simultaneously: version, help"), 1},
      {{"-hv"}, Error("the following options can't be used simultaneously: version, help"), 1},

      // Required parameters, named by option name; the mode by its option name.
      {{"--dump"}, Error("you must define parameter output for mode dump"), 1},
      {{"-d"}, Error("you must define parameter output for mode dump"), 1},
      {{"--restore"}, Error("you must define parameter input for mode restore"), 1},
      {{"-m"}, Error("you must define parameter magnetometer-gain for mode update-magnetometer-gain"), 1},
      {{"--update-magnetometer-channel", "--force"},
       Error("you must define parameter magnetometer-channel for mode update-magnetometer-channel"), 1},
      {{"--set-hardware-gyro-calibration-disable"},
       Error("you must define parameter hardware-gyro_calibration-disable for mode "
             "set-hardware-gyro-calibration-disable"),
       1},
      {{"--update-hardware-gyro-calibration-duration"},
       Error("you must define parameter hardware-gyro-calibration-duration for mode "
             "update-hardware-gyro-calibration-duration"),
       1},
      {{"--update-gyro-bias", "--magnetometer-gain", "3"},
       Error("you must define parameter gyro-vector for mode update-gyro-bias"), 1},

      // Every given parameter is checked, also one that the mode does not read.
      {{"--fields", "--magnetometer-gain", "500"}, kGain, 1},
      {{"--fields", "--magnetometer-gain", "5"}, kNoIni, 1},
      {{"--version", "--magnetometer-channel", "2"}, kChannel, 1},

      // Bounds of every integer parameter, at both ends.
      {{"--magnetometer-gain", "0"}, "", 0},
      {{"--magnetometer-gain", "100"}, "", 0},
      {{"--magnetometer-gain", "101"}, kGain, 1},
      {{"--magnetometer-gain", "-1"}, kGain, 1},
      {{"--magnetometer-gain", "-2147483648"}, kGain, 1},
      {{"--magnetometer-gain", "2147483647"}, kGain, 1},
      {{"--magnetometer-channel", "0"}, "", 0},
      {{"--magnetometer-channel", "1"}, "", 0},
      {{"--magnetometer-channel", "2"}, kChannel, 1},
      {{"--magnetometer-channel", "-1"}, kChannel, 1},
      {{"--hardware-gyro_calibration-disable", "0"}, "", 0},
      {{"--hardware-gyro_calibration-disable", "1"}, "", 0},
      {{"--hardware-gyro_calibration-disable", "2"}, kDisable, 1},
      {{"--hardware-gyro_calibration-disable", "-1"}, kDisable, 1},
      {{"--hardware-gyro-calibration-duration", "0"}, "", 0},
      {{"--hardware-gyro-calibration-duration", "131"}, "", 0},
      {{"--hardware-gyro-calibration-duration", "132"}, kDuration, 1},
      {{"--hardware-gyro-calibration-duration", "-1"}, kDuration, 1},

      // Negative numbers are values, never short options.
      {{"--magnetometer-gain", "-5"}, kGain, 1},
      {{"--magnetometer-gain=-5"}, kGain, 1},
      {{"--gyro-vector", "1", "-2", "3"}, "", 0},
      {{"--gyro-vector", "-1", "-2", "-3"}, "", 0},
      {{"--update-gyro-bias", "--gyro-vector", "1", "-2", "3"}, kNoIni, 1},
      {{"--gyro-vector", "1", "2", "--gyro-vector", "3"}, "", 0},
      {{"--gyro-vector", "1", "2"}, kVector, 1},
      {{"--gyro-vector", "1", "2", "3", "4"}, kVector, 1},

      // Text parameters.
      {{"--gyro-source", "raw"}, "", 0},
      {{"--gyro-source", "calibrated"}, "", 0},
      {{"--gyro-source", "Raw"}, kSource, 1},
      {{"--gyro-source", "cal"}, kSource, 1},
      {{"--input", "image.bin"}, "", 0},
      {{"-i", "existing-dir"}, "", 0},
      {{"--input", "missing.bin"}, Error("the input path does not exist"), 1},
      {{"--output", "out.bin"}, "", 0},
      {{"-o", "existing-dir/out.bin"}, "", 0},
      {{"--output", "missing-dir/out.bin"}, Error("the output path is invalid"), 1},

      // Stray words and numbers are ignored; a mode without its dashes is one.
      {{"--version", "stray", "42"}, kVersion, 0},
      {{"version"}, "", 0},
      {{"help", "fields", "-3.5e2"}, "", 0},
      {{"--", "--version"}, "", 0},
      {{"-"}, "", 0},

      // Long names are exact and case-sensitive.
      {{"--vers"}, Error("unrecognised option '--vers'"), 1},
      {{"--Version"}, Error("unrecognised option '--Version'"), 1},
      {{"--HELP"}, Error("unrecognised option '--HELP'"), 1},
      {{"--magnetometer-g", "5"}, Error("unrecognised option '--magnetometer-g'"), 1},
      {{"-V"}, Error("unrecognised option '-V'"), 1},
      {{"/version"}, "", 0},

      // What the option library refuses.
      {{"--magnetometer-gain", "abc"}, Error("the argument ('abc') for option '--magnetometer-gain' is invalid"), 1},
      {{"--magnetometer-gain", "4294967296"},
       Error("the argument ('4294967296') for option '--magnetometer-gain' is invalid"), 1},
      {{"--magnetometer-gain", "1.5"}, Error("the argument ('1.5') for option '--magnetometer-gain' is invalid"), 1},
      {{"--gyro-vector", "1", "x", "3"}, Error("the argument ('x') for option '--gyro-vector' is invalid"), 1},
      {{"--output"}, Error("the required argument for option '--output' is missing"), 1},
      {{"--output", "a", "--output", "b"}, Error("option '--output' cannot be specified more than once"), 1},
      {{"--version=1"}, Error("option '--version' does not take any arguments"), 1},

      // Help and version.
      {{"--version"}, kVersion, 0},
      {{"-v"}, kVersion, 0},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool(c.arguments);
    EXPECT_EQ(run.out, c.out) << Join(c.arguments);
    EXPECT_EQ(run.status, c.status) << Join(c.arguments);
    EXPECT_EQ(run.err, "") << Join(c.arguments);
  }
}

// Empty, overlong and malformed words end in one error line or are ignored,
// never in a crash or in output on standard error.
TEST_F(FlashToolCommandLine, BadInputNeverCrashes) {
  const std::string longWord(60000, 'a');  // two fit in one argument (128 KiB)
  const std::string longNumber(5000, '9');
  const struct {
    std::vector<std::string> arguments;
    std::string out;  // empty: any single "ERROR: " line
    int status;
  } cases[] = {
      {{""}, "", 0},
      {{"", "", "--version", ""}, kVersion, 0},
      {{"--" + longWord}, Error("unrecognised option '--" + longWord + "'"), 1},
      {{"-" + longWord}, "", 1},
      {{longWord}, "", 0},
      {{"--magnetometer-gain", longNumber},
       Error("the argument ('" + longNumber + "') for option '--magnetometer-gain' is invalid"), 1},
      {{"--gyro-vector", longNumber, "1", "2"}, "", 1},
      {{"--input", longWord}, "", 1},
      {{"--output", longWord + "/" + longWord}, "", 1},
      {{"--gyro-source", longWord}, kSource, 1},
      {{"--magnetometer-gain="}, "", 1},
      {{"--input="}, "", 1},
      {{"--input", ""}, Error("the input path does not exist"), 1},
      {{"--gyro-source", ""}, kSource, 1},
      {{"--magnetometer-gain", ""}, "", 1},
      {{"--magnetometer-gain", "nan"}, "", 1},
      {{"--magnetometer-gain", " 5"}, "", 1},
      {{"--gyro-vector", "1", "2", "inf"}, "", 1},
      {{"-"}, "", 0},
      {{"---version"}, "", 1},
      {{"--=5"}, "", 0},
      {{"-\xff\xfe"}, "", 1},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool(c.arguments);
    const std::string what = Join(c.arguments).substr(0, 80);
    EXPECT_EQ(run.status, c.status) << what;
    EXPECT_EQ(run.err, "") << what;
    if (!c.out.empty() || c.status == 0) {
      EXPECT_EQ(run.out, c.out) << what;
    } else {
      EXPECT_EQ(run.out.rfind("ERROR: ", 0), 0u) << what << ": " << run.out.substr(0, 200);
      EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << what << ": " << run.out.substr(0, 200);
    }
  }
}

// With no sensor in reach, every mode that needs one fails with one error line
// and never ends as if it had done its work.
TEST_F(FlashToolCommandLine, SensorModesFailWithoutASensor) {
  const std::vector<std::vector<std::string>> lines = {
      {"--fields"},
      {"--temp"},
      {"--dump", "--output", "out.bin"},
      {"--backup"},
      {"--restore", "--input", "image.bin"},
      {"--calibrate-gyros", "--dry-run"},
      {"--configure-for-hardware-gyro-calibration"},
      {"--update-magnetometer-gain", "--magnetometer-gain", "42", "--force"},
      {"--update-magnetometer-channel", "--magnetometer-channel", "1"},
      {"--set-hardware-gyro-calibration-disable", "--hardware-gyro_calibration-disable", "0"},
      {"--update-hardware-gyro-calibration-duration", "--hardware-gyro-calibration-duration", "131"},
      {"--update"},
      {"--minimize-delays"},
      {"--smart-configuration"},
      {"--update-gyro-bias", "--gyro-vector", "100", "-200", "0"},
      {"--update-gyro-correction", "--gyro-vector", "1", "2", "3"},
  };
  for (const auto& arguments : lines) {
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.status, 1) << Join(arguments);
    EXPECT_EQ(run.err, "") << Join(arguments);
    ASSERT_FALSE(run.out.empty()) << Join(arguments);
    const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("ERROR: ", 0), 0u) << Join(arguments) << ": " << run.out;
    EXPECT_EQ(run.out.find("ERROR: "), run.out.rfind("ERROR: ")) << Join(arguments) << ": " << run.out;
  }
  EXPECT_FALSE(std::filesystem::exists(scratch.Path() / "out.bin"));
}

// The help text lists every option of the tables in registration order, with
// its letter, its long name, "arg" where it takes a value, and its text.
TEST_F(FlashToolCommandLine, HelpListsTheOptionsTable) {
  const struct {
    std::string letter;
    std::string name;
    bool value;
    std::string text;
  } table[] = {
      {"v", "version", false, "show the version number and exit"},
      {"h", "help", false, "show this help message and exit"},
      {"f", "fields", false, "show the relevant fields of the connected device"},
      {"t", "temp", false, "show the temperature calibration parameters of the connected device"},
      {"d", "dump", false, "dump the contents of the flash memory to file"},
      {"b", "backup", false, "backup the contents of the flash memory to file quickly with an auto-generated filename"},
      {"r", "restore", false, "restore the contents of the flash memory from file"},
      {"g", "calibrate-gyros", false, "calibrate the gyros of the connected device and update the values in the flash"},
      {"", "configure-for-hardware-gyro-calibration", false,
       "update all fields required to enable hardware gyro calibration with minimal delays"},
      {"m", "update-magnetometer-gain", false, "update the gain of the magnetometer in the flash"},
      {"c", "update-magnetometer-channel", false, "update the the magnetometer channel in the flash"},
      {"", "set-hardware-gyro-calibration-disable", false, "update the the value of the hardware gyro calibration disable"},
      {"", "update-hardware-gyro-calibration-duration", false,
       "update the duration of the hardwar gyro calibration in the flash"},
      {"u", "update", false, "update the flash memory layout to support newer IMU firmwares"},
      {"", "minimize-delays", false, "set flash fields to minimize initialization delays that affect taring"},
      {"", "smart-configuration", false, "update the flash fields based on the type of IMU"},
      {"", "update-gyro-bias", false, "update the x,y,z values of gyro bias in the flash"},
      {"", "update-gyro-correction", false, "update the x,y,z values of gyro correction in the flash"},
      {"i", "input", true, "set the input file"},
      {"o", "output", true, "set the output file"},
      {"", "force", false, "Bypass internal checks"},
      {"", "magnetometer-gain", true, "set the value of magnetometer gain"},
      {"", "magnetometer-channel", true, "set the value of magnetometer channel"},
      {"", "hardware-gyro_calibration-disable", true,
       "set this value to zero to enable the hardware gyro calibration procedure"},
      {"", "hardware-gyro-calibration-duration", true, "set the duration of the hardware gyro calibration"},
      {"", "gyro-source", true, "Set the data source for gyro calibration [raw,calibrated]"},
      {"", "dry-run", false, "Run the command without modifying the flash"},
      {"", "verbose", false, "Use verbose logging for the selected mode"},
      {"", "gyro-vector", true, "set a vector-3 containing gyro values"},
  };
  std::vector<std::string> expected;
  for (const auto& option : table)
    expected.push_back((option.letter.empty() ? "--" + option.name : "-" + option.letter + " [ --" + option.name + " ]") +
                       (option.value ? " arg " : " ") + option.text);

  for (const std::string flag : {"--help", "-h"}) {
    const ToolRun run = RunTool({flag});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.rfind("Options:\n", 0), 0u) << run.out;
    ASSERT_GE(run.out.size(), 2u);
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "\n\n") << "the help ends with an empty line";

    // Entries start two blanks in; continuation lines are indented further.
    // Wrapping is the formatter's business, so blanks are compared collapsed.
    std::vector<std::string> entries;
    std::istringstream lines(run.out.substr(9));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      EXPECT_LE(line.size(), 80u) << line;
      if (line.rfind("  -", 0) == 0) entries.emplace_back();
      ASSERT_FALSE(entries.empty()) << line;
      std::istringstream words(line);
      for (std::string word; words >> word;) entries.back() += (entries.back().empty() ? "" : " ") + word;
    }
    EXPECT_EQ(entries, expected) << flag;
  }
}

// The tool is bound to the SDK entry points it uses when it is loaded, so that
// it does not start without the library.
TEST(FlashToolBinary, ImportsTheSdkEntryPoints) {
  std::set<std::string> imported;
  for (const std::string& name : NmSymbols(std::string(NM_TOOL) + " -D --undefined-only " + FLASH_TOOL_EXECUTABLE))
    imported.insert(name.substr(0, name.find('@')));
  for (const char* entry : {"iQuenlith_SDK_Lite_CreateDevice", "iQuenlith_SDK_Lite_GetSensorId",
                            "iQuenlith_SDK_Lite_GetSensorFlash", "iQuenlith_SDK_Lite_SetSensorFlash",
                            "iQuenlith_SDK_Lite_SetReceiveDataCallback", "iQuenlith_SDK_Lite_CloseDevice"})
    EXPECT_EQ(imported.count(entry), 1u) << entry;
}

}  // namespace
