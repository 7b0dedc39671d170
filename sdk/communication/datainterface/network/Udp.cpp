#include "communication/datainterface/network/Udp.h"

#include <climits>

#include "common/Log.h"

namespace Communication::DataInterface::Network {

namespace asio = boost::asio;
using asio::ip::udp;

static_assert(CUdp::DefaultLocalPort(2000) == 1999);
static_assert(CUdp::DefaultLocalPort(0) == 65535);

bool CUdp::Open(const boost::property_tree::ptree& parameters) {
  if (IsOpen()) {
    QLOG(debug) << "<hw> socket already opened";
    return false;
  }
  const auto remote = ReadRemoteKeys(parameters);
  if (!remote) return false;
  std::string localText;
  const auto local = AddressKey(parameters, "localip", kDefaultLocalAddress, localText);
  if (!local) return false;
  const auto localPort = NumberKey(parameters, "localport", DefaultLocalPort(port_), USHRT_MAX);
  if (!localPort || !OpenSocket()) return false;

  QLOG(info) << "<hw> connecting to " << address_ << ":" << port_ << " (localip = " << localText
             << ", localport = " << *localPort << ", timeout = " << timeout_.count() << ") via UDP";
  boost::system::error_code error;
  socket_.bind(udp::endpoint(*local, static_cast<std::uint16_t>(*localPort)), error);
  if (error) {
    QLOG(error) << "<hw> cann't bind socket: " << error.message();
    CloseSocket();
    return false;
  }
  remote_ = udp::endpoint(*remote, port_);
  return true;
}

int CUdp::Write(const char* buffer, int length) {
  if (!Writable(length)) return 0;
  boost::system::error_code error;
  const std::size_t sent = socket_.send_to(asio::buffer(buffer, static_cast<std::size_t>(length)), remote_, 0, error);
  if (error) {
    QLOG(error) << "<hw> socket write error: " << error.message();
    return 0;
  }
  return static_cast<int>(sent);
}

}  // namespace Communication::DataInterface::Network
