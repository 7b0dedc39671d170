#pragma once

// Measuring the gyro offsets of a sensor that rests motionless, and storing
// their mean in its flash: from the SDK's raw samples as the gyro bias, or
// from the sensor's own calibrated samples as the gyro correction.

#include <atomic>
#include <cstdint>
#include <memory>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "SensorRecords.h"
#include "SensorStream.h"
#include "Stopwatch.h"

// How long the sensor is sampled (s).
inline constexpr std::int32_t kGyroCalibrationSeconds = 10;

// The raw procedure's state, shared with the SDK's stream thread through the
// receive callback. It must outlive the callback's registration.
struct CalibrationContext {
  std::int32_t seconds = kGyroCalibrationSeconds;
  boost::mutex lock;  // guards the sums and the count
  double sumX = 0.0;
  double sumY = 0.0;
  double sumZ = 0.0;
  std::uint32_t count = 0;
  bool dryRun = false;
  bool verbose = false;
};

// The calibrated procedure's state. The main thread alone touches the sums,
// the count and lastCounter; the worker only polls the stream.
struct StreamCalibrationContext {
  StreamCalibrationContext(std::int32_t seconds, bool dryRun, bool verbose)
      : seconds(seconds), dryRun(dryRun), verbose(verbose) {}

  std::int32_t seconds;
  Lumeth::Core::SensorLibrary::SensorStream stream;
  std::atomic<bool> running{false};
  std::unique_ptr<boost::thread> worker;
  double sumX = 0.0;
  double sumY = 0.0;
  double sumZ = 0.0;
  std::uint32_t count = 0;
  bool dryRun;
  bool verbose;
  std::uint16_t lastCounter = 0;  // of the last record added
  Stopwatch timer;
};

// Opens the device, sums position 0's uncalibrated angular rates for the
// context's seconds and stores their mean as the gyro bias.
void calibrateGyrosFromRawSamples(CalibrationContext& context);
// The SDK's receive callback; `user` is the CalibrationContext.
void accumulateGyroSample(void* frame, void* user);

// Samples the sensor over the tool's own stream, closes it, and only then
// opens the SDK device to store the mean as the gyro correction.
void calibrateGyrosFromCalibratedSamples(bool dryRun, bool verbose,
                                         std::int32_t seconds = kGyroCalibrationSeconds);
void runGyroCalibration(StreamCalibrationContext& context);
// The worker's body: polls the stream while the context runs.
void processingLoop(StreamCalibrationContext& context);
// Takes one record off the stream on the main thread and adds it (see addGyroSample).
void takeGyroSample(StreamCalibrationContext& context);
// Adds the record's angular rate when its counter differs from the last one
// added: a record handed out again while the queue is empty counts once, and
// the empty record (counter 0) that comes before the first one never counts.
void addGyroSample(StreamCalibrationContext& context, const Lumeth::Core::SensorLibrary::QuenlithSensorData& record);
