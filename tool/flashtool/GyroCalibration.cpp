#include "GyroCalibration.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "FlashLayout.h"
#include "FlashOperations.h"
#include "SensorAccess.h"
#include "quenlith_sdk_lite.h"

namespace {

using Lumeth::Core::SensorLibrary::QuenlithSensorData;
using Lumeth::Core::SensorLibrary::QuenlithSensorInformation;
using Lumeth::Core::SensorLibrary::QuenlithSensorStatus;

// Where the SDK's output frame keeps position 0's nine uncalibrated readings
// (doubles: acceleration, angular rate, magnetic field, each x, y, z).
constexpr std::size_t kFirstRecordOffset = 16;  // (bytes) from the frame's start
constexpr std::size_t kUncalibratedReadings = 9;
constexpr std::size_t kUncalibratedGyro = 3;  // index of the angular rate x
static_assert(kFirstRecordOffset + kUncalibratedGyro * sizeof(double) == 40);

// The stream needs this long to settle after its start-up frames.
constexpr std::chrono::milliseconds kStreamSettle{200};

const std::string kDryRunLine = "DRY RUN: skipping flash memory operations";

struct GyroVector {
  double x;
  double y;
  double z;
};

// One whole line per write: the SDK's stream thread prints sample lines while
// the main thread prints its own, and a line must not be split by another.
void printLine(const std::string& text) { std::cout << text + '\n' << std::flush; }

std::string vectorText(const GyroVector& vector) {
  std::ostringstream text;
  text << "( " << vector.x << ", " << vector.y << ", " << vector.z << " )";
  return text.str();
}

std::string keepStillLine(std::int32_t seconds) {
  return "KEEP THE SENSOR PERFECTLY STILL FOR " + std::to_string(seconds) + " SECONDS!";
}

// The mean of the summed samples. A run that counted none has no mean, and
// storing 0/0 would replace the sensor's calibration with nonsense.
GyroVector averageGyroVector(const GyroVector& sum, std::uint32_t count, bool verbose) {
  printLine("computing average gyro vector");
  if (count == 0) throw std::runtime_error("no gyro samples were collected");
  // Divided rather than multiplied by 1/count: a rate that is the same in
  // every sample then comes out as exactly that rate (49 samples of 1.0
  // times 1/49 give 0.9999999999999999, which truncates to one word less).
  const GyroVector mean{sum.x / count, sum.y / count, sum.z / count};
  if (verbose) printLine("average gyro vector: " + vectorText(mean));
  return mean;
}

// Stops the worker and joins it on every way out, so that it never polls a
// stream that is being stopped or destroyed.
class WorkerStop {
 public:
  explicit WorkerStop(StreamCalibrationContext& context) : context(context) {}
  WorkerStop(const WorkerStop&) = delete;
  WorkerStop& operator=(const WorkerStop&) = delete;
  ~WorkerStop() {
    context.running.exchange(false);
    if (!context.worker) return;
    context.worker->join();
    context.worker.reset();
  }

 private:
  StreamCalibrationContext& context;
};

}  // namespace

void calibrateGyrosFromRawSamples(CalibrationContext& context) {
  printLine("performing offline gyro calibration with raw samples");
  {
    boost::mutex::scoped_lock lock(context.lock);
    context.sumX = context.sumY = context.sumZ = 0.0;
    context.count = 0;
  }
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  if (!iQuenlith_SDK_Lite_SetReceiveDataCallback(handle, accumulateGyroSample, &context))
    throw std::runtime_error("cannot register the data callback");
  printLine(keepStillLine(context.seconds));
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::seconds(context.seconds));
  // Removed under the SDK's own lock: no callback runs once this returns.
  iQuenlith_SDK_Lite_SetReceiveDataCallback(handle, nullptr, nullptr);

  GyroVector sum{};
  std::uint32_t count = 0;
  {
    boost::mutex::scoped_lock lock(context.lock);
    sum = {context.sumX, context.sumY, context.sumZ};
    count = context.count;
  }
  const GyroVector mean = averageGyroVector(sum, count, context.verbose);
  if (context.dryRun) {
    printLine(kDryRunLine);
    return;
  }
  printLine("updating flash memory");
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  setGyroBias(mean.x, mean.y, mean.z, std::string(layout.key), image);
  writeFlashImage(handle, image);
}

void accumulateGyroSample(void* frame, void* user) {
  auto& context = *static_cast<CalibrationContext*>(user);
  double readings[kUncalibratedReadings];
  std::memcpy(readings, static_cast<const unsigned char*>(frame) + kFirstRecordOffset, sizeof readings);
  // Only raw data carries these readings; a sensor streaming another format
  // leaves all nine 0, and counting them would store a bias of 0.
  if (std::all_of(std::begin(readings), std::end(readings), [](double reading) { return reading == 0.0; })) return;

  const GyroVector rate{readings[kUncalibratedGyro], readings[kUncalibratedGyro + 1], readings[kUncalibratedGyro + 2]};
  if (context.verbose) printLine("current gyro vector: " + vectorText(rate));
  boost::mutex::scoped_lock lock(context.lock);
  context.sumX += rate.x;
  context.sumY += rate.y;
  context.sumZ += rate.z;
  ++context.count;
}

void calibrateGyrosFromCalibratedSamples(bool dryRun, bool verbose, std::int32_t seconds) {
  StreamCalibrationContext context(seconds, dryRun, verbose);
  runGyroCalibration(context);
}

void runGyroCalibration(StreamCalibrationContext& context) {
  printLine("performing offline gyro calibration with calibrated samples");
  std::string deviceName;
  const std::string port = findDevicePort(deviceName);
  if (context.dryRun) printLine(kDryRunLine);

  context.sumX = context.sumY = context.sumZ = 0.0;
  context.count = 0;
  context.lastCounter = 0;
  context.stream.informationCallback = [](const QuenlithSensorInformation&) {};
  context.stream.statusCallback = [](const QuenlithSensorStatus&) {};
  context.stream.start(port, deviceName != kMakerAdapterName);
  std::this_thread::sleep_for(kStreamSettle);
  printLine(keepStillLine(context.seconds));

  context.timer.stop();
  context.timer.start();
  {
    const WorkerStop workerStop(context);
    context.running.exchange(true);
    context.worker = std::make_unique<boost::thread>([&context] { processingLoop(context); });
    // Spins without a pause: a record is taken as soon as it is queued.
    while (context.running.load()) {
      takeGyroSample(context);
      if (static_cast<double>(context.timer.elapsed().wall) / 1e9 > static_cast<double>(context.seconds))
        context.running.exchange(false);
    }
  }
  // The SDK opens the same port below, so the stream must have let it go.
  context.stream.stop();

  const GyroVector mean = averageGyroVector({context.sumX, context.sumY, context.sumZ}, context.count, context.verbose);
  if (context.dryRun) {
    printLine(kDryRunLine);
    return;
  }
  printLine("updating flash memory");
  const int handle = openDevice(deviceName, "");
  const auto guard = closeDeviceOnExit(handle);
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  const std::string key(layout.key);
  requireGyroCorrectionField(key);
  setGyroCorrection(mean.x, mean.y, mean.z, key, image);
  writeFlashImage(handle, image);
}

void processingLoop(StreamCalibrationContext& context) {
  while (context.running.load()) {
    try {
      context.stream.poll();
    } catch (const std::exception& error) {
      printLine(std::string("ERROR: ") + error.what());
    }
  }
}

void takeGyroSample(StreamCalibrationContext& context) { addGyroSample(context, context.stream.nextData()); }

void addGyroSample(StreamCalibrationContext& context, const QuenlithSensorData& record) {
  if (record.counter == context.lastCounter) return;
  context.lastCounter = record.counter;
  context.sumX += record.gyro.x();
  context.sumY += record.gyro.y();
  context.sumZ += record.gyro.z();
  ++context.count;
}
