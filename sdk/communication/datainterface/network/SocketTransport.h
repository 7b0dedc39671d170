#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "communication/datainterface/network/Network.h"

namespace Communication::DataInterface::Network {

// What the TCP and UDP transports do alike on their socket: close, receive
// one chunk within the time-out, and purge.
template <class Protocol>
class CSocketTransport : public CNetwork {
 public:
  ~CSocketTransport() override;

  // Also drops what the receive buffer held, so that a reopened transport
  // never delivers bytes of an earlier connection.
  void Close() override;
  // Drops what the receive buffer holds and what is already waiting on the
  // socket, without waiting for more.
  void Purge() override;

 protected:
  CSocketTransport() : socket_(io_) {}

  bool IsOpen() const override { return socket_.is_open(); }
  std::size_t ReceiveChunk(char* into, std::size_t capacity) override;

  // Opens an IPv4 socket; false, with an error record, when the system
  // refuses one.
  bool OpenSocket();
  // Whether a Write of `length` bytes has anything to do: false for nothing
  // to write, and for a closed socket, which it logs.
  bool Writable(int length) const;
  // Closes the socket without a record and forgets what it received, so
  // that every Open starts from an empty receive buffer.
  void CloseSocket();

  typename Protocol::socket socket_;

 private:
  // Set once a receive failed by itself (a peer that closed or reset the
  // connection), which no later receive would mend: reported once, and until
  // the transport is reopened every Read waits out its time-out and gives 0,
  // so that a reading loop neither spins nor floods the log.
  bool failed_ = false;
};

extern template class CSocketTransport<boost::asio::ip::tcp>;
extern template class CSocketTransport<boost::asio::ip::udp>;

}  // namespace Communication::DataInterface::Network
