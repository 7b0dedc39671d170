// The gyro calibration against a simulated sensor resting at a known rate:
// the mode and its procedures run in this process with a short measuring
// time, the shipped tool with its own; and the counter rule of the
// calibrated samples on its own.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "GyroCalibration.h"
#include "Modes.h"
#include "Parameters.h"
#include "SensorHarness.h"
#include "ToolProcess.h"
#include "quenlith_sdk_lite.h"

namespace {

using namespace std::chrono_literals;
using Lumeth::Core::SensorLibrary::QuenlithSensorData;

constexpr std::int32_t kShortWindow = 2;       // (s) measuring time of the runs in this process
constexpr std::uint16_t kFlashWrite = 0x0600;  // the hub protocol's flash write request

const std::string kNew6 = "QN DKv6 IMU Mar 12 2019";
const std::string kNew5 = "QN DKv5 IMU Mar 12 2019";
const std::string kNew4 = "QN DKv4 IMU Jan 10 2018";

const std::string kOpened = "enumerating...\ninitializing...\n";
const std::string kClosed = "closing the device...\n";
const std::string kBackedUp = kOpened + "backing up contents of flash memory...\n" + kClosed;
const std::string kDryRun = "DRY RUN: skipping flash memory operations\n";
const std::string kKeepStill = "KEEP THE SENSOR PERFECTLY STILL FOR 2 SECONDS!\n";
const std::string kFromRaw = "performing offline gyro calibration with raw samples\n";
const std::string kFromCalibrated = "performing offline gyro calibration with calibrated samples\n";
const std::string kAveraging = "computing average gyro vector\n";
const std::string kUpdating = "updating flash memory\n";
const std::string kNoSamples = "ERROR: no gyro samples were collected\n";
const std::string kSampleLinePrefix = "current gyro vector: ";
// The stream library's own lines when the calibration opens and then stops
// its serial stream (thread ids as TakeSampleLines writes them).
const std::string kStreamOpened =
    "SynchronousSerialConnection::open (id)\nEND SynchronousSerialConnection::open\nstarting the state machine\n";
const std::string kStreamClosed =
    "SynchronousSerialConnection::close (id)\nEND SynchronousSerialConnection::close (id)\n"
    "SynchronousSerialConnection::~SynchronousSerialConnection\n"
    "SynchronousSerialConnection::close (id)\nEND SynchronousSerialConnection::close (id)\n";

std::string Image6() { return Patched(PatternImage(2048), {{8, 1234}}); }
std::string Image5() { return Patched(PatternImage(2048), {{8, 55}}); }
std::string Image4() { return Patched(PatternImage(512), {{8, 4}}); }

void PutWord(SimHub::Bytes& bytes, std::size_t offset, std::int16_t value) {
  bytes.at(offset) = static_cast<std::uint8_t>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// A sensor at rest whose own calibrated angular rate is (1, -0.5, 3/1024):
// measurement words 11 to 13, 2^-10 each. The hook's blocks start at word 1.
void CalibratedRate(SimHub::DataFrameContent& content) {
  PutWord(content.blocks, 2 * (11 - 1), 1024);
  PutWord(content.blocks, 2 * (12 - 1), -512);
  PutWord(content.blocks, 2 * (13 - 1), 3);
}
// That rate as gyro correction words (value × 2^26).
const std::vector<Patch> kCorrectionWritten = {
    {1152, 67108864}, {1156, static_cast<std::uint32_t>(-33554432)}, {1160, 196608}};
const std::string kCalibratedMean = "average gyro vector: ( 1, -0.5, 0.00292969 )\n";

// A raw-data sensor at rest whose angular rate words (block words 3 to 5)
// the DKv6 model scales by 2^-11 to (1, -0.5, 307/2048). Blocks of other
// formats are too short to hold them.
void RawRate(SimHub::DataFrameContent& content) {
  if (content.blocks.size() < 2 * 6) return;
  PutWord(content.blocks, 2 * 3, 2048);
  PutWord(content.blocks, 2 * 4, -1024);
  PutWord(content.blocks, 2 * 5, 307);
}
// That rate as gyro bias words (value × 2^27).
const std::vector<Patch> kBiasWritten = {{48, 134217728}, {52, static_cast<std::uint32_t>(-67108864)}, {56, 20119552}};
const std::string kRawSample = kSampleLinePrefix + "( 1, -0.5, 0.149902 )";
const std::string kRawMean = "average gyro vector: ( 1, -0.5, 0.149902 )\n";

SensorSetup StreamSensor(const std::string& identity, const std::string& image) {
  return {"stream-sensor", identity, image, "dongle", 1000, CalibratedRate};
}

SensorSetup RawDongle(std::uint16_t formatCode) { return {"dongle", kNew6, Image6(), "", formatCode, RawRate}; }

// The bytes where the image differs from the expected one, "" when none does.
std::string Differences(const std::string& image, const std::string& expected) {
  if (image.size() != expected.size())
    return "size " + std::to_string(image.size()) + " instead of " + std::to_string(expected.size());
  std::ostringstream text;
  for (std::size_t i = 0; i < image.size(); ++i)
    if (image[i] != expected[i])
      text << "byte " << i << ": " << (static_cast<unsigned>(image[i]) & 0xFF) << " instead of "
           << (static_cast<unsigned>(expected[i]) & 0xFF) << "\n";
  return text.str();
}

struct Outcome {
  std::string out;
  int status = 0;
};

// Runs the work as the tool's entry runs a mode: what it printed, and on a
// failure the "ERROR: " line and status 1.
template <typename Work>
Outcome RunAsTheTool(Work work) {
  testing::internal::CaptureStdout();
  Outcome outcome;
  try {
    work();
  } catch (const std::exception& error) {
    std::cout << "ERROR: " << error.what() << std::endl;
    outcome.status = 1;
  }
  outcome.out = testing::internal::GetCapturedStdout();
  return outcome;
}

// Takes the raw procedure's per-sample lines out of the output, since their
// number depends on how many frames the window caught, and writes thread ids
// as "(id)".
std::vector<std::string> TakeSampleLines(std::string& out) {
  std::istringstream lines(std::regex_replace(out, std::regex(R"(\(\d+\))"), "(id)"));
  std::vector<std::string> samples;
  std::string rest;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(kSampleLinePrefix, 0) == 0)
      samples.push_back(line);
    else
      rest += line + "\n";
  }
  out = rest;
  return samples;
}

// The SDK hands out the smallest free handle: 0 again means that every device
// the run opened was closed.
void ExpectAllDevicesClosed(const std::string& what) {
  const int handle = iQuenlith_SDK_Lite_CreateDevice(1, "Quenlith_SDK_Lite.ini", ("com=" + std::to_string(kSensorCom)).c_str());
  EXPECT_EQ(handle, 0) << what;
  iQuenlith_SDK_Lite_CloseDevice(handle);
}

struct CalibrationCase {
  const char* what;
  SensorSetup sensor;
  const char* source;  // the gyro source given; null: none
  bool dryRun;
  bool verbose;
  std::string out;  // without the per-sample lines
  int status;
  std::vector<Patch> written;  // what the image holds afterwards; empty: the image as it was
  std::string sampleLine;      // every per-sample line; empty: none
  SimHub::Fault fault = SimHub::Fault::None;
};

// Runs "calibrate-gyros" on a fresh sensor per case and judges the output,
// the status, the image, the flash writes on the wire, the backup file and
// whether the device was left open.
void RunModeCases(const std::vector<CalibrationCase>& cases) {
  for (const auto& c : cases) {
    SensorHarness harness;
    harness.Start(c.sensor);
    if (c.fault != SimHub::Fault::None) harness.Hub().InjectFault(c.fault, 100);

    ModeCalibrateGyros mode(kShortWindow);
    if (c.source) {
      const auto source = boost::make_shared<ParameterGyroCalibrationSource>();
      source->setValue(c.source);
      mode.addParameter(source);
    }
    if (c.dryRun) mode.addParameter(boost::make_shared<ParameterDryRun>());
    if (c.verbose) mode.addParameter(boost::make_shared<ParameterVerbose>());
    Outcome run = RunAsTheTool([&] { mode.execute(); });

    const std::vector<std::string> samples = TakeSampleLines(run.out);
    EXPECT_EQ(run.out, c.out) << c.what;
    EXPECT_EQ(run.status, c.status) << c.what;
    if (c.sampleLine.empty()) {
      EXPECT_EQ(samples, std::vector<std::string>{}) << c.what;
    } else {
      EXPECT_FALSE(samples.empty()) << c.what;
      EXPECT_EQ(samples, std::vector<std::string>(samples.size(), c.sampleLine)) << c.what;
    }
    EXPECT_EQ(Differences(harness.Image(), Patched(c.sensor.image, c.written)), "") << c.what;
    EXPECT_EQ(harness.Hub().WaitForRequest(kFlashWrite, 0ms), !c.written.empty()) << c.what;

    // Without a dry run the image is saved, as it was, before anything else.
    const auto files = harness.NewFiles();
    if (c.dryRun) {
      EXPECT_EQ(files, std::vector<std::string>{}) << c.what;
    } else {
      ASSERT_EQ(files.size(), 1u) << c.what;
      EXPECT_EQ(files[0].rfind("imu_flash_backup_", 0), 0u) << files[0];
      EXPECT_EQ(harness.Scratch().Read(files[0]), c.sensor.image) << c.what;
    }
    ExpectAllDevicesClosed(c.what);
  }
}

TEST(GyroCalibration, FromCalibratedSamplesStoresTheMeanAsTheGyroCorrection) {
  const std::string measured = kFromCalibrated + kStreamOpened + kKeepStill + kStreamClosed + kAveraging;
  RunModeCases({
      {"verbose", StreamSensor(kNew6, Image6()), "calibrated", false, true,
       kBackedUp + measured + kCalibratedMean + kUpdating + kOpened + kClosed, 0, kCorrectionWritten, ""},
      {"quiet", StreamSensor(kNew6, Image6()), "calibrated", false, false,
       kBackedUp + measured + kUpdating + kOpened + kClosed, 0, kCorrectionWritten, ""},
      // The SDK device is never opened, and the sensor's flash never touched.
      {"dry run", StreamSensor(kNew6, Image6()), "calibrated", true, true,
       kFromCalibrated + kDryRun + kStreamOpened + kKeepStill + kStreamClosed + kAveraging + kCalibratedMean + kDryRun,
       0, {}, ""},
  });
}

TEST(GyroCalibration, FromCalibratedSamplesWritesNothingItCannotStore) {
  RunModeCases({
      // DKv5 images have no gyro correction: refused rather than written back unchanged.
      {"DKv5", StreamSensor(kNew5, Image5()), "calibrated", false, false,
       kBackedUp + kFromCalibrated + kStreamOpened + kKeepStill + kStreamClosed + kAveraging + kUpdating + kOpened +
           kClosed +
           "ERROR: can only update the gyro correction of DKv6 sensors\n",
       1, {}, ""},
      // A DKv4 sensor does not stream: no sample, no mean. A dry run, since
      // the simulated one would keep streaming what a backup switched on.
      {"DKv4", StreamSensor(kNew4, Image4()), "calibrated", true, true,
       kFromCalibrated + kDryRun + kStreamOpened + kKeepStill + "data streaming is not supported for this device\n" +
           kStreamClosed + kAveraging + kNoSamples,
       1, {}, ""},
      {"a sensor that answers nothing", StreamSensor(kNew6, Image6()), "calibrated", true, true,
       kFromCalibrated + kDryRun + kStreamOpened + kKeepStill + kStreamClosed + kAveraging + kNoSamples, 1, {}, "",
       SimHub::Fault::StopAnswering},
  });
}

TEST(GyroCalibration, FromRawSamplesStoresTheMeanAsTheGyroBias) {
  const std::string measured = kFromRaw + kOpened + kKeepStill + kAveraging;
  RunModeCases({
      {"verbose", RawDongle(1000), "raw", false, true, kBackedUp + measured + kRawMean + kUpdating + kClosed, 0,
       kBiasWritten, kRawSample},
      {"the default source, quiet", RawDongle(1000), nullptr, false, false, kBackedUp + measured + kUpdating + kClosed,
       0, kBiasWritten, ""},
      // The device is opened and sampled, the flash left alone.
      {"dry run", RawDongle(1000), "raw", true, true, measured + kRawMean + kDryRun + kClosed, 0, {}, kRawSample},
  });
}

// Sensors streaming quaternions or calibrated values carry no uncalibrated
// readings: their frames are not samples, and the factory bias stays.
TEST(GyroCalibration, FromRawSamplesCountsNoFrameWithoutRawReadings) {
  RunModeCases({
      {"quaternions, dry run", RawDongle(1001), nullptr, true, true,
       kFromRaw + kOpened + kKeepStill + kAveraging + kClosed + kNoSamples, 1, {}, ""},
      {"calibrated values", RawDongle(1002), "raw", false, true,
       kBackedUp + kFromRaw + kOpened + kKeepStill + kAveraging + kClosed + kNoSamples, 1, {}, ""},
  });
}

// 49 samples of the same rate store exactly that rate's words: 49 × 1.0
// multiplied by 1/49 would give 0.9999999999999999 and one word less.
constexpr std::uint16_t kRecords = 49;
TEST(GyroCalibration, FromCalibratedSamplesAConstantRateIsStoredExactly) {
  SensorSetup sensor = StreamSensor(kNew6, Image6());
  // Counters 0 (never counted), 1 to 49, then 49 again and again (counted once).
  sensor.dataFrameHook = [](SimHub::DataFrameContent& content) {
    CalibratedRate(content);
    content.counter = std::min(content.counter, kRecords);
  };
  SensorHarness harness;
  harness.Start(sensor);
  StreamCalibrationContext context(kShortWindow, false, false);
  const Outcome run = RunAsTheTool([&context] { runGyroCalibration(context); });
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(context.count, kRecords);
  EXPECT_EQ(Differences(harness.Image(), Patched(Image6(), kCorrectionWritten)), "");
}

// A failed read after the measurement leaves no device open.
TEST(GyroCalibration, FromCalibratedSamplesClosesTheDeviceWhenTheReadFails) {
  SensorHarness harness;
  harness.Start(StreamSensor(kNew6, Image6()));
  // Once the sensor streams, the stream has read its flash: every read from
  // then on, the SDK's, comes back a word short.
  std::thread shortReads([&harness] {
    if (harness.Hub().WaitForDataFrames(1, 20s)) harness.Hub().InjectFault(SimHub::Fault::ShortFlashRead, 100);
  });
  Outcome run = RunAsTheTool([] {
    StreamCalibrationContext context(kShortWindow, false, false);
    runGyroCalibration(context);
  });
  shortReads.join();
  TakeSampleLines(run.out);
  EXPECT_EQ(run.out, kFromCalibrated + kStreamOpened + kKeepStill + kStreamClosed + kAveraging + kUpdating + kOpened +
                         kClosed + "ERROR: the expected size of the memory layout is incorrect\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(harness.Hub().WaitForRequest(kFlashWrite, 0ms));
  EXPECT_EQ(Differences(harness.Image(), Image6()), "");
  ExpectAllDevicesClosed("after a failed read");
}

// Records as the stream hands them out: while its queue is empty it returns
// the last one again, and before the first one an empty record (counter 0).
TEST(GyroCalibration, EachRecordCountsOnceAndTheEmptyOneNever) {
  const struct {
    const char* what;
    std::vector<std::uint16_t> handedOut;  // counters
    std::vector<std::uint16_t> counted;
  } cases[] = {
      {"only the empty record", {0, 0, 0}, {}},
      {"a leading 0", {0, 1, 2}, {1, 2}},
      {"a record handed out again", {5, 5, 6}, {5, 6}},
      {"an empty queue for a while", {1, 1, 1, 2, 2, 3, 3, 3}, {1, 2, 3}},
      {"a counter that wraps", {65534, 65535, 0, 1}, {65534, 65535, 0, 1}},
      {"an older counter after a newer one", {7, 6, 7}, {7, 6, 7}},
  };
  // Each record's rate names it: (counter + 0.5, -counter, 1).
  const auto record = [](std::uint16_t counter) {
    QuenlithSensorData data;
    data.counter = counter;
    data.gyro = {counter + 0.5, -static_cast<double>(counter), 1.0};
    return data;
  };
  for (const auto& c : cases) {
    StreamCalibrationContext context(kGyroCalibrationSeconds, false, false);
    for (const std::uint16_t counter : c.handedOut) addGyroSample(context, record(counter));
    double x = 0.0;
    double y = 0.0;
    for (const std::uint16_t counter : c.counted) {
      x += counter + 0.5;
      y -= counter;
    }
    EXPECT_EQ(context.count, c.counted.size()) << c.what;
    EXPECT_EQ(context.sumX, x) << c.what;
    EXPECT_EQ(context.sumY, y) << c.what;
    EXPECT_EQ(context.sumZ, static_cast<double>(c.counted.size())) << c.what;
  }
}

// The shipped tool, with its full measuring time: the run prints `out`,
// ends with status 0 and leaves the image written as given and the backup
// of the image as it was.
void RunShippedTool(const SensorSetup& sensor, const std::vector<std::string>& arguments, const std::string& out,
                    const std::vector<Patch>& written) {
  SensorHarness harness;
  harness.Start(sensor);
  ToolRun run = RunTool(arguments);
  TakeSampleLines(run.out);
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Differences(harness.Image(), Patched(sensor.image, written)), "");
  const auto files = harness.NewFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(harness.Scratch().Read(files[0]), sensor.image);
}

const std::string kKeepStillLong = "KEEP THE SENSOR PERFECTLY STILL FOR 10 SECONDS!\n";

TEST(GyroCalibrationTool, CalibratesFromCalibratedSamples) {
  RunShippedTool(StreamSensor(kNew6, Image6()), {"--calibrate-gyros", "--gyro-source", "calibrated", "--verbose"},
                 kBackedUp + kFromCalibrated + kStreamOpened + kKeepStillLong + kStreamClosed + kAveraging +
                     kCalibratedMean + kUpdating + kOpened + kClosed,
                 kCorrectionWritten);
}

TEST(GyroCalibrationTool, CalibratesFromRawSamples) {
  RunShippedTool(RawDongle(1000), {"-g"}, kBackedUp + kFromRaw + kOpened + kKeepStillLong + kAveraging + kUpdating + kClosed,
                 kBiasWritten);
}

}  // namespace
