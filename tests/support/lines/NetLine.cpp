#include "lines/NetLine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace SimLine {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

bool ClientGone(int error) { return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ETIMEDOUT; }

}  // namespace

NetLine::~NetLine() { Close(); }

void NetLine::Open(Protocol protocol, std::uint16_t port) {
  Close();
  protocol_ = protocol;
  const int type = protocol == Protocol::Tcp ? SOCK_STREAM : SOCK_DGRAM;
  socket_ = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket_ < 0) Fail("socket");
  const int on = 1;
  // A device restarted on the port it had must not wait for old connections to time out.
  ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t length = sizeof address;
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (protocol == Protocol::Tcp && ::listen(socket_, 4) != 0) ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    Close();
    errno = error;
    Fail("network line on 127.0.0.1:" + std::to_string(port));
  }
  port_ = ntohs(address.sin_port);
}

void NetLine::Close() {
  HangUp();
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  port_ = 0;
}

void NetLine::Accept() {
  if (!Listening()) return;
  connection_ = ::accept4(socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (connection_ < 0) return;
  const int on = 1;
  ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

ssize_t NetLine::Read(std::uint8_t* buffer, std::size_t size) {
  if (protocol_ == Protocol::Udp) {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t count = ::recvfrom(socket_, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (count >= 0) {
      client_ = sender;
      clientKnown_ = true;
    }
    return count;
  }
  const ssize_t count = ::recv(connection_, buffer, size, 0);
  if (count == 0 || (count < 0 && ClientGone(errno))) {
    errno = EIO;
    return -1;
  }
  return count;
}

ssize_t NetLine::Write(const std::uint8_t* bytes, std::size_t size) {
  if (protocol_ == Protocol::Udp) {
    if (!clientKnown_) {
      errno = EDESTADDRREQ;
      return -1;
    }
    return ::sendto(socket_, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&client_), sizeof client_);
  }
  const ssize_t count = ::send(connection_, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (count < 0 && ClientGone(errno)) errno = EIO;
  return count;
}

void NetLine::HangUp() {
  if (connection_ >= 0) ::close(connection_);
  connection_ = -1;
  clientKnown_ = false;
}

}  // namespace SimLine
