#include "StreamProcessor.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "MessageDecoders.h"
#include "StreamProcessorStateMachine.h"
#include "SynchronousSerialConnection.h"

namespace Lumeth::Core::SensorLibrary {

namespace {

constexpr unsigned kBaudRate = 1000000;
constexpr unsigned kCharacterSize = 8;

// Calls a callback unless it is unset; what it throws is reported, not passed on.
template <class Callback, class... Args>
void invokeGuarded(const Callback& callback, const Args&... args) {
  if (!callback) return;
  try {
    callback(args...);
  } catch (const std::exception& error) {
    std::cout << "the invocation of a handler failed with error: " << error.what() << std::endl;
  } catch (...) {
    std::cout << "the invocation of a handler failed with error: unknown exception" << std::endl;
  }
}

struct MessageHandler {
  std::uint16_t type;
  void (StreamProcessor::*handle)(const StreamMessage&);
};

}  // namespace

StreamProcessor::StreamProcessor()
    : machine_(std::make_unique<QuenlithStreamProcessorStateMachine>(this)),
      clockBase_(std::chrono::steady_clock::now()) {
  readBuffer_.reserve(kRingSize);
}

StreamProcessor::~StreamProcessor() {
  // A processor that never started leaves the process-wide connection to its user.
  if (!started_) return;
  try {
    closeConnection();
  } catch (const std::exception& error) {
    std::cout << "ERROR: " << error.what() << std::endl;
  } catch (...) {
  }
}

void StreamProcessor::start(const std::string& portName) {
  const auto connection = SynchronousSerialConnection::instance();
  try {
    connection->open(portName, kBaudRate, boost::asio::serial_port_base::parity::none, kCharacterSize,
                     boost::asio::serial_port_base::flow_control::none, boost::asio::serial_port_base::stop_bits::one);
  } catch (const boost::system::system_error& error) {
    throw std::runtime_error(std::string("can't open serial connection - ") + error.what());
  }
  connection->setReadDeadline(kReadDeadline);
  std::cout << "starting the state machine" << std::endl;
  resetBuffers();
  triggers_.clear();
  machine_->start();
  started_ = true;
}

void StreamProcessor::advance() {
  if (!started_) return;
  const auto caller = std::this_thread::get_id();
  if (owner_ && *owner_ != caller)
    throw std::runtime_error("trying to advance the stream processor from multiple threads");
  owner_ = caller;
  if (triggers_.empty()) return;

  auto trigger = std::move(triggers_.front());
  triggers_.pop_front();
  entryFailed_ = false;
  try {
    trigger();
  } catch (...) {
    restartMachine();
    throw;
  }
  if (entryFailed_) {
    // The failed entry action queued nothing: start over rather than stall.
    restartMachine();
    return;
  }
  if (triggers_.empty()) {
    const std::string name = stateName();
    restartMachine();
    throw std::runtime_error("the stream processor did not queue up event triggers correctly [" + name + "]");
  }
}

void StreamProcessor::onEntryFailed(const std::exception&) { entryFailed_ = true; }

void StreamProcessor::restartMachine() {
  triggers_.clear();
  machine_->start();
}

std::string StreamProcessor::stateName() const {
  const auto* state = machine_->get_state_by_id(machine_->current_state()[0]);
  if (!state) return "the type name is invalid";
  return boost::core::demangle(typeid(*state).name());
}

int StreamProcessor::currentState() const { return started_ ? machine_->current_state()[0] : -1; }

void StreamProcessor::sendCommand(const std::string& frame) {
  const auto connection = SynchronousSerialConnection::instance();
  if (!started_ || !connection->isOpen()) {
    std::cout << "WARNING: trying to send a command to the device without a valid serial connection. Make the "
                 "stream processor was initialized correctly before calling this method"
              << std::endl;
    return;
  }
  connection->write(frame);
}

void StreamProcessor::closeConnection() {
  SynchronousSerialConnection::destroyInstance();
  resetBuffers();
  triggers_.clear();
  clockBase_ = std::chrono::steady_clock::now();
  owner_.reset();
}

template <class Event>
void StreamProcessor::queue(Event event) {
  triggers_.push_back([this, event = std::move(event)] { machine_->process_event(event); });
}

std::uint32_t StreamProcessor::stamp() const {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clockBase_).count());
}

void StreamProcessor::readSerialData() {
  try {
    const auto connection = SynchronousSerialConnection::instance();
    if (!connection->isOpen()) throw std::runtime_error("trying to access an uninitialized connection");
    readBuffer_.clear();
    std::size_t taken = connection->consume(readBuffer_, kReadChunkSize);
    if (taken == 0) {
      connection->clearAllBytesRead();
      std::array<std::uint8_t, kReadChunkSize> chunk{};
      connection->read(chunk.data(), chunk.size());
      if (connection->allBytesRead() != connection->accumulatedSize())
        std::printf("_allBytesRead = %d; _readAccumulationBuffer.size() = %d\n",
                    static_cast<int>(connection->allBytesRead()), static_cast<int>(connection->accumulatedSize()));
      taken = connection->consume(readBuffer_, kReadChunkSize);
    }
    if (taken == 0) {
      queue(EventDataNotFound{});
      return;
    }
    storeBytes(readBuffer_.data(), taken, stamp());
    queue(EventOperationCompleted{});
  } catch (const timeout_exception&) {
    queue(EventDataNotFound{});
  } catch (const std::exception& error) {
    std::cout << "ERROR: failed to read serial data - " << error.what() << std::endl;
    queue(EventExceptionCaught{});
  }
}

void StreamProcessor::storeBytes(const std::uint8_t* bytes, std::size_t count, std::uint32_t arrival) {
  if (kRingSize - write_ < count) compact();
  if (kRingSize - write_ < count) {
    std::cout << "WARNING: needing to drop least recently used data" << std::endl;
    read_ += std::min(unread(), count);
    compact();
  }
  std::copy_n(bytes, count, ring_.begin() + static_cast<std::ptrdiff_t>(write_));
  std::fill_n(stamps_.begin() + static_cast<std::ptrdiff_t>(write_), count, arrival);
  write_ += count;
}

void StreamProcessor::compact() {
  if (read_ == 0) return;
  std::copy(ring_.begin() + static_cast<std::ptrdiff_t>(read_), ring_.begin() + static_cast<std::ptrdiff_t>(write_),
            ring_.begin());
  std::copy(stamps_.begin() + static_cast<std::ptrdiff_t>(read_),
            stamps_.begin() + static_cast<std::ptrdiff_t>(write_), stamps_.begin());
  write_ -= read_;
  read_ = 0;
}

void StreamProcessor::resetBuffers() {
  read_ = 0;
  write_ = 0;
  readBuffer_.clear();
}

void StreamProcessor::readHeader() {
  if (unread() < kHeaderSize) {
    queue(EventBufferNotSufficientlyFilled{});
    return;
  }
  const std::uint8_t* bytes = ring_.data() + read_;
  const std::uint32_t header = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  if (headerSync(header) == kSyncWord) {
    read_ += kHeaderSize;
    currentHeader_ = header;
    queue(EventValidHeaderFound{});
    return;
  }
  // Called unguarded: what it throws ends the entry action.
  if (invalidHeaderCallback) invalidHeaderCallback(stamps_[read_], kSyncWord);
  queue(EventInvalidHeaderFound{});
}

void StreamProcessor::advanceCursor() {
  if (unread() > 0) ++read_;
  queue(EventOperationCompleted{});
}

void StreamProcessor::readBody() {
  const std::size_t length = headerLength(currentHeader_);
  if (!isAcceptedFrameLength(length)) {
    queue(EventInvalidBodyFound{});
    return;
  }
  const std::size_t bodySize = length - kHeaderSize;
  if (unread() < bodySize) {
    queue(EventBufferNotSufficientlyFilled{});
    return;
  }
  StreamMessage message = messageFromBody(currentHeader_, ring_.data() + read_);
  read_ += bodySize;
  if (checksumMatches(message))
    queue(EventMessageRead{std::move(message)});
  else
    queue(EventInvalidBodyFound{});
}

void StreamProcessor::enterHandleMessage(const StreamMessage& message) {
  try {
    handleMessage(message);
    queue(EventOperationCompleted{});
  } catch (const std::exception& error) {
    std::cout << "WARNING: " << error.what() << std::endl;
    queue(EventExceptionCaught{});
  }
}

void StreamProcessor::handleMessage(const StreamMessage& message) {
  static constexpr std::array<MessageHandler, 6> kHandlers = {{
      {kTypeIdentity, &StreamProcessor::handleIdentity},
      {kTypeMeasurementWithError, &StreamProcessor::handleMeasurementWithError},
      {kTypeQuaternion, &StreamProcessor::handleQuaternion},
      {kTypeMeasurement, &StreamProcessor::handleMeasurement},
      {kTypeStatus, &StreamProcessor::handleStatus},
      {kTypeFlashBlock, &StreamProcessor::handleFlashBlock},
  }};
  for (const auto& handler : kHandlers)
    if (handler.type == message.type) return (this->*handler.handle)(message);
}

void StreamProcessor::handleIdentity(const StreamMessage& message) {
  invokeGuarded(identityCallback, decodeIdentity(message));
}

void StreamProcessor::handleMeasurementWithError(const StreamMessage& message) {
  const QuenlithSensorData data = decodeMeasurementWithError(message);
  invokeGuarded(quaternionCallback, data.quaternion);
  invokeGuarded(temperatureCallback, data.temperature);
  const std::uint8_t present = data.deviceError ? 1 : 0;
  if (lastDeviceError_ == 0 && present) invokeGuarded(deviceErrorCallback, *data.deviceError);
  if (lastDeviceError_ == 1 && !present) invokeGuarded(deviceErrorClearedCallback);
  lastDeviceError_ = present;
  invokeGuarded(sensorDataCallback, data);
}

void StreamProcessor::handleQuaternion(const StreamMessage& message) {
  invokeGuarded(quaternionCallback, decodeQuaternion(message));
}

void StreamProcessor::handleMeasurement(const StreamMessage& message) {
  const QuenlithSensorData data = decodeMeasurement(message);
  invokeGuarded(quaternionCallback, data.quaternion);
  invokeGuarded(temperatureCallback, data.temperature);
  invokeGuarded(sensorDataCallback, data);
}

void StreamProcessor::handleStatus(const StreamMessage& message) { invokeGuarded(statusCallback, decodeStatus(message)); }

void StreamProcessor::handleFlashBlock(const StreamMessage& message) {
  invokeGuarded(flashBlockCallback, decodeFlashBlock(message));
}

}  // namespace Lumeth::Core::SensorLibrary
