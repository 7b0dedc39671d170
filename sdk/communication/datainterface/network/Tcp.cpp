#include "communication/datainterface/network/Tcp.h"

#include <boost/asio/write.hpp>

#include "common/Log.h"

namespace Communication::DataInterface::Network {

namespace asio = boost::asio;
using asio::ip::tcp;

bool CTcp::Open(const boost::property_tree::ptree& parameters) {
  if (IsOpen()) {
    QLOG(debug) << "<hw> socket already opened";
    return false;
  }
  const auto remote = ReadRemoteKeys(parameters);
  if (!remote || !OpenSocket()) return false;
  boost::system::error_code error;
  socket_.set_option(tcp::no_delay(true), error);
  if (error) {
    QLOG(error) << "<hw> cann't open socket: " << error.message();
    CloseSocket();
    return false;
  }
  QLOG(info) << "<hw> connecting to " << address_ << ":" << port_ << " (timeout = " << timeout_.count()
             << ") via TCP";
  error = Connect(tcp::endpoint(*remote, port_));
  if (error) {
    QLOG(error) << "<hw> connection failed: " << error.message();
    CloseSocket();
    return false;
  }
  return true;
}

boost::system::error_code CTcp::Connect(const tcp::endpoint& endpoint) {
  try {
    socket_.async_connect(endpoint, Track());
    if (!RunForTimeout()) {
      // Closing is what cancels a connect under way.
      boost::system::error_code ignored;
      socket_.close(ignored);
      io_.run();
      return asio::error::timed_out;
    }
  } catch (const boost::system::system_error& e) {
    return e.code();
  }
  return outcome_.done ? outcome_.error : asio::error::operation_aborted;
}

int CTcp::Write(const char* buffer, int length) {
  if (!Writable(length)) return 0;
  boost::system::error_code error;
  asio::write(socket_, asio::buffer(buffer, static_cast<std::size_t>(length)), error);
  if (error) {
    QLOG(error) << "<hw> socket write error: " << error.message();
    return 0;
  }
  return length;
}

}  // namespace Communication::DataInterface::Network
