#include "communication/datainterface/network/SocketTransport.h"

#include <algorithm>
#include <thread>

#include "common/Log.h"

namespace Communication::DataInterface::Network {

namespace asio = boost::asio;

template <class Protocol>
CSocketTransport<Protocol>::~CSocketTransport() {
  try {
    Close();
  } catch (...) {
  }
}

template <class Protocol>
bool CSocketTransport<Protocol>::OpenSocket() {
  boost::system::error_code error;
  socket_.open(Protocol::v4(), error);
  if (error) {
    QLOG(error) << "<hw> cann't open socket: " << error.message();
    return false;
  }
  return true;
}

template <class Protocol>
void CSocketTransport<Protocol>::CloseSocket() {
  boost::system::error_code ignored;
  socket_.close(ignored);
  ring_.Clear();
  failed_ = false;
}

template <class Protocol>
bool CSocketTransport<Protocol>::Writable(int length) const {
  if (!IsOpen()) {
    QLOG(debug) << "<hw> socket not opened";
    return false;
  }
  return length > 0;
}

template <class Protocol>
void CSocketTransport<Protocol>::Close() {
  if (!IsOpen()) {
    QLOG(debug) << "<hw> socket not opened";
    return;
  }
  CloseSocket();
  QLOG(debug) << "<hw> connection closed";
}

template <class Protocol>
std::size_t CSocketTransport<Protocol>::ReceiveChunk(char* into, std::size_t capacity) {
  if (failed_) {
    std::this_thread::sleep_for(timeout_);
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  try {
    // Receiving without the sender's address: a UDP datagram from any sender counts.
    socket_.async_receive(asio::buffer(into, capacity), Track());
    if (!RunForTimeout()) {
      QLOG(error) << "<hw> socket read timeout error";
      boost::system::error_code ignored;
      socket_.cancel(ignored);
      io_.run();
    }
    const boost::system::error_code error = outcome_.done ? outcome_.error : asio::error::operation_aborted;
    if (!error) return outcome_.bytes;
    QLOG(error) << "<hw> socket read error: " << error.message();
    // Cancelled by the time-out, which has been waited out already.
    if (error == asio::error::operation_aborted) return 0;
  } catch (const std::exception& e) {
    QLOG(error) << "<hw> socket read error: " << e.what();
  }
  failed_ = true;
  std::this_thread::sleep_until(deadline);
  return 0;
}

template <class Protocol>
void CSocketTransport<Protocol>::Purge() {
  if (!IsOpen()) {
    QLOG(debug) << "<hw> socket not opened";
    return;
  }
  ring_.Clear();
  // Only what has arrived already, and no more than the socket can hold at
  // once, so that a peer that keeps streaming cannot hold Purge.
  boost::system::error_code error;
  asio::socket_base::receive_buffer_size held;
  socket_.get_option(held, error);
  std::size_t budget = error || held.value() <= 0 ? kRingCapacity : static_cast<std::size_t>(held.value());
  while (budget > 0) {
    const std::size_t waiting = socket_.available(error);
    if (error || waiting == 0) return;
    const std::size_t dropped =
        socket_.receive(asio::buffer(ring_.Space(), std::min(waiting, kRingCapacity)), 0, error);
    if (error || dropped == 0) return;
    budget -= std::min(budget, dropped);
  }
}

template class CSocketTransport<asio::ip::tcp>;
template class CSocketTransport<asio::ip::udp>;

}  // namespace Communication::DataInterface::Network
