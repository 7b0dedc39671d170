#pragma once

// The tool's own serial link to the sensor's adapter, apart from the SDK:
// synchronous writes, and reads with a deadline that run the I/O service on
// the reading thread itself. There is one connection per process.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/mutex.hpp>

namespace Lumeth::Core::SensorLibrary {

// A read whose deadline passed before any byte came.
class timeout_exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SynchronousSerialConnection {
 public:
  using Parity = boost::asio::serial_port_base::parity::type;
  using FlowControl = boost::asio::serial_port_base::flow_control::type;
  using StopBits = boost::asio::serial_port_base::stop_bits::type;

  // The process-wide connection, made (closed) on first use.
  static std::shared_ptr<SynchronousSerialConnection> instance();
  // Closes the process-wide connection and forgets it; the next instance() is a fresh one.
  static void destroyInstance();

  SynchronousSerialConnection();
  ~SynchronousSerialConnection();
  SynchronousSerialConnection(const SynchronousSerialConnection&) = delete;
  SynchronousSerialConnection& operator=(const SynchronousSerialConnection&) = delete;

  // Opens the port ("\\.\COM<N>", "COM<N>" or a device path), closing an open
  // one first. Throws boost::system::system_error ("open", "set_option");
  // the port is closed again when a setting fails.
  void open(const std::string& portName, unsigned baudRate, Parity parity, unsigned characterSize,
            FlowControl flowControl, StopBits stopBits);
  void close();
  bool isOpen() const { return open_.load(); }

  // No deadline when unset.
  void setReadDeadline(std::optional<std::chrono::milliseconds> deadline) { deadline_ = deadline; }

  // Receives 1 to count bytes (exactly count with retry) into the destination
  // and the accumulation buffer; bytes that already wait on the line go to the
  // accumulation buffer at once, up to its reserve, even beyond count. Throws
  // timeout_exception when the deadline passes without a byte; bytes that came
  // before it are kept, and no handler of the read outlives the call.
  std::size_t read(std::uint8_t* destination, std::size_t count, bool retry = false);
  // Moves up to count accumulated bytes to the end of out; returns how many.
  std::size_t consume(std::vector<std::uint8_t>& out, std::size_t count);
  std::size_t accumulatedSize() const { return accumulation_.size(); }
  // Bytes held after the last read.
  std::size_t allBytesRead() const { return allBytesRead_; }
  void clearAllBytesRead() { allBytesRead_ = 0; }

  // Writes every byte; no deadline.
  void write(const std::string& bytes);

 private:
  struct PendingRead;
  void closePort();

  boost::asio::io_context io_;
  boost::asio::serial_port port_;
  std::unique_ptr<boost::asio::steady_timer> timer_;
  std::optional<std::chrono::milliseconds> deadline_;
  std::vector<std::uint8_t> accumulation_;
  std::size_t allBytesRead_ = 0;
  std::size_t emptyReads_ = 0;  // reads in a row that completed without a byte
  bool quickReads_ = false;  // the port reads without blocking when nothing waits
  std::atomic<bool> open_{false};
  boost::mutex closeMutex_;
};

}  // namespace Lumeth::Core::SensorLibrary
