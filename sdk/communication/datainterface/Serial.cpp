#include "communication/datainterface/Serial.h"

#include <climits>
#include <string>
#include <vector>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "common/Log.h"
#include "communication/platform/SerialLine.h"
#include "platform/ComPort.h"

namespace Communication::DataInterface {

namespace asio = boost::asio;

CSerial::CSerial() : port_(io_), deadline_(io_) {}

CSerial::~CSerial() {
  try {
    Close();
  } catch (...) {
  }
}

bool CSerial::Open(const boost::property_tree::ptree& parameters) {
  if (port_.is_open()) {
    QLOG(debug) << "<hw> serial port already opened";
    return false;
  }
  const std::string path = Platform::ComPortDevicePath("COM" + parameters.get<std::string>("com", "1"));
  // Read wider than the line takes them, so that a negative value is refused
  // rather than wrapped into a huge one.
  const long long baudrate = parameters.get<long long>("baudrate", 1000000);
  const long long timeout = parameters.get<long long>("transmissiontimeout", timeout_.count());
  if (baudrate <= 0 || baudrate > UINT_MAX) {
    QLOG(error) << "<hw> serial port open failed: invalid baudrate " << baudrate;
    return false;
  }
  if (timeout < 0 || timeout > UINT_MAX) {
    QLOG(error) << "<hw> serial port open failed: invalid transmissiontimeout " << timeout;
    return false;
  }
  timeout_ = std::chrono::milliseconds(timeout);
  QLOG(info) << "<hw> trying to open serial port \"" << path << "\" (baudrate = " << baudrate
             << ", timeout = " << timeout_.count() << ")";

  boost::system::error_code error;
  port_.open(path, error);
  if (error) {
    QLOG(error) << "<hw> serial port open failed: " << error.message();
    return false;
  }
  using Base = asio::serial_port_base;
  port_.set_option(Base::character_size(8), error);
  if (!error) port_.set_option(Base::flow_control(Base::flow_control::none), error);
  if (!error) port_.set_option(Base::parity(Base::parity::none), error);
  if (!error) port_.set_option(Base::stop_bits(Base::stop_bits::one), error);
  if (!error) port_.set_option(Base::baud_rate(static_cast<unsigned int>(baudrate)), error);
  if (error) {
    QLOG(error) << "<hw> serial port open failed: " << error.message();
    boost::system::error_code ignored;
    port_.close(ignored);
    return false;
  }
  Native::SerialLine(port_.native_handle()).ClearRtsSetDtr();
  return true;
}

void CSerial::Close() {
  if (!port_.is_open()) {
    QLOG(debug) << "<hw> serial port not opened";
    return;
  }
  boost::system::error_code ignored;
  port_.close(ignored);
  QLOG(debug) << "<hw> serial port closed";
}

int CSerial::Read(char* buffer, int length) {
  if (length <= 0) return 0;
  try {
    bool readDone = false;
    boost::system::error_code readError;
    std::size_t transferred = 0;

    io_.restart();
    asio::async_read(port_, asio::buffer(buffer, static_cast<std::size_t>(length)),
                     [&](const boost::system::error_code& error, std::size_t count) {
                       readDone = true;
                       readError = error;
                       transferred = count;
                       if (!error) {
                         deadline_.cancel();
                         return;
                       }
                       // The timer stays armed: a dead line fails every read at
                       // once, and the caller must still wait out its time-out.
                       QLOG(error) << "<hw> serial read error: " << error.message() << ", read: " << count;
                     });
    deadline_.expires_after(timeout_);
    deadline_.async_wait([&](const boost::system::error_code& error) {
      if (error == asio::error::operation_aborted || readDone) return;
      boost::system::error_code ignored;
      port_.cancel(ignored);
      QLOG(error) << "<hw> serial read timeout error";
    });
    io_.run();
    return readError ? 0 : static_cast<int>(transferred);
  } catch (const std::exception& e) {
    QLOG(error) << "<hw> serial read error: " << e.what() << ", read: 0";
    return 0;
  }
}

int CSerial::Write(const char* buffer, int length) {
  if (!port_.is_open()) {
    QLOG(debug) << "<hw> serial port not opened";
    return 0;
  }
  if (length <= 0) return 0;
  boost::system::error_code error;
  const std::size_t written = asio::write(port_, asio::buffer(buffer, static_cast<std::size_t>(length)), error);
  if (error) QLOG(error) << "<hw> serial write error: " << error.message();
  return static_cast<int>(written);
}

void CSerial::Purge() {
  if (!port_.is_open()) {
    QLOG(debug) << "<hw> serial port not opened";
    return;
  }
  const std::size_t waiting = std::min(Native::SerialLine(port_.native_handle()).InputWaiting(), kPurgeLimit);
  if (waiting == 0) return;
  std::vector<char> scratch(waiting);
  Read(scratch.data(), static_cast<int>(waiting));
}

}  // namespace Communication::DataInterface
