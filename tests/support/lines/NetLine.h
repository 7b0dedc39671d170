#pragma once

// A simulated device's end of a network line on 127.0.0.1: a TCP listener that
// serves one client connection at a time, or a UDP socket that answers whoever
// sent the last datagram.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace SimLine {

// The network lines a device can serve instead of a pty.
enum class Protocol { Tcp, Udp };

class NetLine {
 public:
  NetLine() = default;
  ~NetLine();
  NetLine(const NetLine&) = delete;
  NetLine& operator=(const NetLine&) = delete;

  // Binds 127.0.0.1:port (0: a free port the system chooses); TCP listens.
  void Open(Protocol protocol, std::uint16_t port);
  void Close();

  bool IsOpen() const { return socket_ >= 0; }
  std::uint16_t Port() const { return port_; }
  bool Datagrams() const { return protocol_ == Protocol::Udp; }
  // What to poll: the client's connection, the listener while no client is
  // connected, or the UDP socket.
  int Fd() const { return connection_ >= 0 ? connection_ : socket_; }
  // A TCP line without a client: Fd() is the listener, and a readable
  // listener has a client to Accept.
  bool Listening() const { return protocol_ == Protocol::Tcp && socket_ >= 0 && connection_ < 0; }
  void Accept();
  // Whom to send to is known: a connected TCP client, or the sender of the
  // last datagram.
  bool HasClient() const { return connection_ >= 0 || clientKnown_; }

  // As read(2): a connection's bytes, or one datagram, whose sender becomes
  // the client. A TCP client that hung up gives -1 with errno EIO, as a
  // pty's client does.
  ssize_t Read(std::uint8_t* buffer, std::size_t size);
  // As write(2) without blocking: bytes on the connection, or one datagram to
  // the client. A TCP client that hung up gives -1 with errno EIO.
  ssize_t Write(const std::uint8_t* bytes, std::size_t size);
  // Ends the client's session: the connection is closed and the listener
  // takes the next one; a UDP line forgets its client.
  void HangUp();

 private:
  Protocol protocol_ = Protocol::Tcp;
  int socket_ = -1;      // the listener, or the UDP socket
  int connection_ = -1;  // the TCP client's
  std::uint16_t port_ = 0;
  sockaddr_in client_{};
  bool clientKnown_ = false;
};

}  // namespace SimLine
