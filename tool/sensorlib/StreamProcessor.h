#pragma once

// Turns the serial byte stream into checked frames with a state machine whose
// states do their work on entry, one transition per advance(), and hands each
// frame to the message decoders and on to the callbacks.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SensorRecords.h"
#include "StreamMessage.h"

namespace Lumeth::Core::SensorLibrary {

class QuenlithStreamProcessorStateMachine;
struct QuenlithStreamProcessorStateMachineFrontEnd;

class StreamProcessor {
 public:
  // State ids, in the machine's order.
  enum State : int {
    kReadSerialData = 0,
    kReadHeader = 1,
    kAdvanceCursor = 2,
    kReadBody = 3,
    kHandleMessage = 4,
    kReadMoreSerialData = 5,
  };
  static constexpr std::size_t kReadChunkSize = 10;  // bytes asked of the connection per read
  // Room for the largest frame while the next chunk comes in: a frame being
  // read is never pushed out by the bytes behind it.
  static constexpr std::size_t kRingSize = kMaximumFrameLength + kReadChunkSize;
  static constexpr std::chrono::milliseconds kReadDeadline{200};

  StreamProcessor();
  // Closes the connection if this processor was ever started.
  ~StreamProcessor();
  StreamProcessor(const StreamProcessor&) = delete;
  StreamProcessor& operator=(const StreamProcessor&) = delete;

  // Opens the process-wide connection at 1,000,000 baud, 8N1, and enters the
  // initial state (one read). Throws "can't open serial connection - ...".
  void start(const std::string& portName);
  // Runs one transition. Must always be called from the same thread.
  void advance();
  // Writes one stored frame as it stands.
  void sendCommand(const std::string& frame);
  // Closes and forgets the connection and every buffered byte; start() again
  // before the next advance reads.
  void closeConnection();
  // Decodes one checked message and calls the callbacks it calls for.
  void handleMessage(const StreamMessage& message);
  // The current state, or -1 before start.
  int currentState() const;

  // Set before start; called on the advancing thread. All but the first are
  // guarded: an exception they throw is printed and parsing goes on.
  std::function<void(std::uint32_t stamp, std::uint16_t expectedSync)> invalidHeaderCallback;
  std::function<void(const std::string&)> identityCallback;
  std::function<void(const std::string&)> deviceErrorCallback;
  std::function<void()> deviceErrorClearedCallback;
  std::function<void(const Eigen::Quaterniond&)> quaternionCallback;
  std::function<void(const double&)> temperatureCallback;  // (degrees Celsius)
  std::function<void(const QuenlithSensorData&)> sensorDataCallback;
  std::function<void(const std::string&)> flashBlockCallback;
  std::function<void(const QuenlithSensorStatus&)> statusCallback;

 private:
  friend struct QuenlithStreamProcessorStateMachineFrontEnd;

  // Entry actions; each queues exactly one trigger.
  void readSerialData();
  void readHeader();
  void advanceCursor();
  void readBody();
  void enterHandleMessage(const StreamMessage& message);
  template <class Event>
  void queue(Event event);

  void onEntryFailed(const std::exception& error);
  void restartMachine();
  std::string stateName() const;
  std::size_t unread() const { return write_ - read_; }
  void storeBytes(const std::uint8_t* bytes, std::size_t count, std::uint32_t stamp);
  void compact();
  void resetBuffers();
  std::uint32_t stamp() const;

  void handleIdentity(const StreamMessage& message);
  void handleMeasurementWithError(const StreamMessage& message);
  void handleQuaternion(const StreamMessage& message);
  void handleMeasurement(const StreamMessage& message);
  void handleStatus(const StreamMessage& message);
  void handleFlashBlock(const StreamMessage& message);

  std::array<std::uint8_t, kRingSize> ring_{};
  std::array<std::uint32_t, kRingSize> stamps_{};  // arrival (ms since clockBase_), one per byte
  std::size_t read_ = 0;   // first unread byte, in both rings
  std::size_t write_ = 0;  // one past the last unread byte
  std::vector<std::uint8_t> readBuffer_;
  bool started_ = false;
  std::unique_ptr<QuenlithStreamProcessorStateMachine> machine_;
  std::deque<std::function<void()>> triggers_;
  std::chrono::steady_clock::time_point clockBase_;
  std::uint32_t currentHeader_ = 0;
  std::optional<std::thread::id> owner_;
  bool entryFailed_ = false;
  std::uint8_t lastDeviceError_ = 0;
};

}  // namespace Lumeth::Core::SensorLibrary
