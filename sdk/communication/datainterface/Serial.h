#pragma once

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>

#include "communication/datainterface/DataInterface.h"

namespace Communication::DataInterface {

// The default transport: a serial port named by its COM number ("com"), run on
// an I/O service of its own so that a Read runs entirely on the calling thread.
// Write may run on another thread while a Read waits; two Reads may not.
class CSerial : public CDataInterface {
 public:
  CSerial();
  ~CSerial() override;

  bool Open(const boost::property_tree::ptree& parameters) override;
  void Close() override;
  // All length bytes, or 0 once the read time-out has passed. A read that fails
  // early (a dead line) still returns only at the time-out, so a caller that
  // reads in a loop does not spin.
  int Read(char* buffer, int length) override;
  int Write(const char* buffer, int length) override;
  // Discards what is waiting, at most kPurgeLimit bytes per call.
  void Purge() override;

  static constexpr std::size_t kPurgeLimit = 65536;

 private:
  std::chrono::milliseconds timeout_{100};
  boost::asio::io_context io_;
  boost::asio::serial_port port_;
  boost::asio::steady_timer deadline_;
};

}  // namespace Communication::DataInterface
