#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "communication/datainterface/network/SocketTransport.h"

namespace Communication::DataInterface::Network {

// A TCP client connection to the hub at "ip":"port", with Nagle's algorithm
// off so that short requests go out at once.
class CTcp : public CSocketTransport<boost::asio::ip::tcp> {
 public:
  // Connects within "transmissiontimeout" rather than the system's own
  // connect time-out of minutes.
  bool Open(const boost::property_tree::ptree& parameters) override;
  // Every byte, or 0 with an error record: a request is never half sent.
  int Write(const char* buffer, int length) override;

 private:
  boost::system::error_code Connect(const boost::asio::ip::tcp::endpoint& endpoint);
};

}  // namespace Communication::DataInterface::Network
