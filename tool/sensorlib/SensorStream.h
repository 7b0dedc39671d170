#pragma once

// One serial conversation with a sensor without the SDK: sends the start-up
// frames, learns the sensor's identity and flash fields, switches streaming on
// for generations from 5 on and queues the measurement records.
//
// Two threads: the user's (start, nextData, stop) and one polling worker
// (poll, and through it every callback). start() completes before the worker
// polls; the worker stops before stop().

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <boost/thread/mutex.hpp>

#include "SensorInformation.h"
#include "SensorRecords.h"
#include "StoredFrames.h"
#include "StreamProcessor.h"

namespace Lumeth::Core::SensorLibrary {

// What an identity text says: an MCU's identity (it holds "mCU"), a sensor's
// (it holds "DKv" and a digit, the generation), or neither.
struct IdentityClass {
  enum Kind { kNone, kMcu, kSensor } kind = kNone;
  int generation = -1;  // of a sensor, from its first "DKv<digit>"
};
IdentityClass classifyIdentity(const std::string& text);

class SensorStream {
 public:
  static constexpr std::size_t kQueueLimit = 50;  // records kept; the oldest go first

  SensorStream();
  ~SensorStream();
  SensorStream(const SensorStream&) = delete;
  SensorStream& operator=(const SensorStream&) = delete;

  // Opens the port and sends the start-up frames; oemDevice for adapters
  // other than the maker's own. Throws when the port does not open.
  void start(const std::string& portName, bool oemDevice);
  // One step of parsing; delivers the information once the sensor's identity
  // and flash block are in. Always from the same thread; exceptions pass on.
  void poll();
  // The oldest queued record, or the last one handed out again when none is queued.
  QuenlithSensorData nextData();
  // Closes the port and forgets what the sensor said.
  void stop();

  // Set before start; called on the polling thread.
  std::function<void(const QuenlithSensorInformation&)> informationCallback;
  std::function<void(const QuenlithSensorStatus&)> statusCallback;

 private:
  void classifyIdentity(const std::string& identity);
  void queueData(const QuenlithSensorData& data);
  void send(const StoredFrame& frame, int pauseMilliseconds);

  StreamProcessor processor_;
  std::deque<QuenlithSensorData> queue_;
  QuenlithSensorData lastData_;
  std::optional<std::string> mcuIdentity_;
  std::string firmware_;
  int generation_ = -1;
  bool oemDevice_ = false;
  std::atomic<bool> informationSent_{false};
  std::string flashBlock_;
  FlashFields fields_;
  boost::mutex mutex_;
};

}  // namespace Lumeth::Core::SensorLibrary
