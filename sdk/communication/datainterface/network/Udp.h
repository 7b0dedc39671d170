#pragma once

#include <cstdint>

#include <boost/asio/ip/udp.hpp>

#include "communication/datainterface/network/SocketTransport.h"

namespace Communication::DataInterface::Network {

// A UDP socket bound to "localip":"localport" that sends every Write as one
// datagram to "ip":"port" and takes datagrams from any sender.
class CUdp : public CSocketTransport<boost::asio::ip::udp> {
 public:
  static constexpr const char* kDefaultLocalAddress = "0.0.0.0";

  bool Open(const boost::property_tree::ptree& parameters) override;
  int Write(const char* buffer, int length) override;

  // Without "localport" the socket binds the port below the remote one
  // (port 0 gives 65535).
  static constexpr std::uint16_t DefaultLocalPort(std::uint16_t port) { return static_cast<std::uint16_t>(port - 1); }

 private:
  boost::asio::ip::udp::endpoint remote_;
};

}  // namespace Communication::DataInterface::Network
