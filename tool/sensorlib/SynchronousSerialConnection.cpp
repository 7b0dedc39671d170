#include "SynchronousSerialConnection.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <mutex>
#include <thread>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "platform/ComPort.h"
#include "platform/SerialReadNow.h"

namespace Lumeth::Core::SensorLibrary {

namespace {

constexpr std::size_t kAccumulationReserve = 100;
constexpr std::size_t kEmptyReadLimit = 10;

std::mutex instanceMutex;
std::shared_ptr<SynchronousSerialConnection> theInstance;

// Prints the closing line of open on every way out.
struct OpenTrace {
  OpenTrace() { std::cout << "SynchronousSerialConnection::open (" << std::this_thread::get_id() << ")" << std::endl; }
  ~OpenTrace() { std::cout << "END SynchronousSerialConnection::open" << std::endl; }
};

}  // namespace

// The state of one read, shared with its handlers, so that a handler can never
// write into a later read's state or the caller's buffer.
struct SynchronousSerialConnection::PendingRead {
  std::vector<std::uint8_t> buffer;
  bool readDone = false;
  bool timerDone = false;
  bool timedOut = false;
  boost::system::error_code error;
  std::size_t bytes = 0;
};

std::shared_ptr<SynchronousSerialConnection> SynchronousSerialConnection::instance() {
  std::lock_guard<std::mutex> lock(instanceMutex);
  if (!theInstance) theInstance = std::make_shared<SynchronousSerialConnection>();
  return theInstance;
}

void SynchronousSerialConnection::destroyInstance() {
  std::shared_ptr<SynchronousSerialConnection> connection;
  {
    std::lock_guard<std::mutex> lock(instanceMutex);
    connection.swap(theInstance);
  }
  if (connection) connection->close();
}

SynchronousSerialConnection::SynchronousSerialConnection() : port_(io_) { accumulation_.reserve(kAccumulationReserve); }

SynchronousSerialConnection::~SynchronousSerialConnection() {
  try {
    std::cout << "SynchronousSerialConnection::~SynchronousSerialConnection" << std::endl;
    close();
  } catch (const std::exception& error) {
    std::cout << "ERROR: " << error.what() << std::endl;
  } catch (...) {
  }
}

void SynchronousSerialConnection::open(const std::string& portName, unsigned baudRate, Parity parity,
                                       unsigned characterSize, FlowControl flowControl, StopBits stopBits) {
  OpenTrace trace;
  if (open_) {
    std::cout << "closing the current serial connection before reopening it" << std::endl;
    close();
  }
  boost::system::error_code error;
  port_.open(::Platform::ComPortDevicePath(portName), error);
  if (error) throw boost::system::system_error(error, "open");

  // A port left open by a failed setting would hold the device with unknown line settings.
  const auto check = [this](const boost::system::error_code& settingError) {
    if (!settingError) return;
    closePort();
    throw boost::system::system_error(settingError, "set_option");
  };
  port_.set_option(boost::asio::serial_port_base::parity(parity), error);
  check(error);
  port_.set_option(boost::asio::serial_port_base::character_size(characterSize), error);
  check(error);
  port_.set_option(boost::asio::serial_port_base::flow_control(flowControl), error);
  check(error);
  port_.set_option(boost::asio::serial_port_base::stop_bits(stopBits), error);
  check(error);
  open_ = true;
  port_.set_option(boost::asio::serial_port_base::baud_rate(baudRate), error);
  check(error);
  timer_ = std::make_unique<boost::asio::steady_timer>(io_);
  emptyReads_ = 0;
  // Without it every read would block; the deadline path alone still works.
  quickReads_ = Platform::makeReadsNonBlocking(port_.native_handle());
}

void SynchronousSerialConnection::close() {
  const auto id = std::this_thread::get_id();
  std::cout << "SynchronousSerialConnection::close (" << id << ")" << std::endl;
  {
    boost::mutex::scoped_lock lock(closeMutex_);
    if (open_) {
      if (!port_.is_open()) throw std::runtime_error("the serial port object is invalid");
      boost::system::error_code error;
      if (timer_) timer_->cancel();
      timer_.reset();
      port_.cancel(error);
      port_.close(error);
      open_ = false;
      if (error) throw boost::system::system_error(error, "close");
    }
  }
  std::cout << "END SynchronousSerialConnection::close (" << id << ")" << std::endl;
}

void SynchronousSerialConnection::closePort() {
  boost::system::error_code ignored;
  port_.close(ignored);
  timer_.reset();
  open_ = false;
}

std::size_t SynchronousSerialConnection::read(std::uint8_t* destination, std::size_t count, bool retry) {
  if (!open_ || !port_.is_open()) throw std::runtime_error("trying to access an uninitialized connection");
  if (emptyReads_ >= kEmptyReadLimit) {
    emptyReads_ = 0;
    throw std::runtime_error("serial read error");
  }

  if (!retry && quickReads_) {
    // Bytes already waiting need no deadline: take them without arming the
    // timer, and as many as the accumulation buffer was sized for, since the
    // reader takes them from there a few at a time.
    std::array<std::uint8_t, kAccumulationReserve> waiting;
    const std::size_t bytes = Platform::readWaitingBytes(port_.native_handle(), waiting.data(), waiting.size());
    if (bytes > 0) {
      accumulation_.insert(accumulation_.end(), waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(bytes));
      const std::size_t delivered = std::min(bytes, count);
      std::copy_n(waiting.begin(), delivered, destination);
      allBytesRead_ = accumulation_.size();
      emptyReads_ = 0;
      return delivered;
    }
    // Nothing there yet, or an error that the deadline path reports.
  }

  const auto pending = std::make_shared<PendingRead>();
  pending->buffer.resize(count);
  auto onRead = [pending](const boost::system::error_code& error, std::size_t bytes) {
    pending->readDone = true;
    pending->error = error;
    pending->bytes = bytes;
  };
  if (retry)
    boost::asio::async_read(port_, boost::asio::buffer(pending->buffer), onRead);
  else
    port_.async_read_some(boost::asio::buffer(pending->buffer), onRead);

  if (deadline_) {
    timer_->expires_after(*deadline_);
    timer_->async_wait([this, pending](const boost::system::error_code& error) {
      pending->timerDone = true;
      if (error || pending->readDone) return;
      pending->timedOut = true;
      boost::system::error_code ignored;
      port_.cancel(ignored);
    });
  } else {
    pending->timerDone = true;
  }

  // Run until both handlers have run: a cancelled read still reports the bytes
  // it took, and nothing of this read is left queued for the next one.
  io_.restart();
  while (!pending->readDone) io_.run_one();
  if (!pending->timerDone) {
    timer_->cancel();
    while (!pending->timerDone) io_.run_one();
  }

  const std::size_t bytes = pending->bytes;
  accumulation_.insert(accumulation_.end(), pending->buffer.begin(),
                       pending->buffer.begin() + static_cast<std::ptrdiff_t>(bytes));
  std::copy_n(pending->buffer.begin(), bytes, destination);

  if (bytes == 0) {
    if (pending->timedOut) throw timeout_exception("serial read timeout expired");
    if (pending->error) {
      boost::system::error_code ignored;
      port_.cancel(ignored);
      throw boost::system::system_error(pending->error, "serial read error");
    }
  }
  allBytesRead_ = accumulation_.size();
  if (!accumulation_.empty()) {
    emptyReads_ = 0;
    return bytes;
  }
  ++emptyReads_;
  return read(destination, count, true);
}

std::size_t SynchronousSerialConnection::consume(std::vector<std::uint8_t>& out, std::size_t count) {
  const std::size_t moved = std::min(count, accumulation_.size());
  out.insert(out.end(), accumulation_.begin(), accumulation_.begin() + static_cast<std::ptrdiff_t>(moved));
  accumulation_.erase(accumulation_.begin(), accumulation_.begin() + static_cast<std::ptrdiff_t>(moved));
  return moved;
}

void SynchronousSerialConnection::write(const std::string& bytes) {
  boost::asio::write(port_, boost::asio::buffer(bytes));
}

}  // namespace Lumeth::Core::SensorLibrary
