// The TCP and UDP transports against a peer on 127.0.0.1 that the test holds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "api/Factories.h"
#include "communication/datainterface/Serial.h"
#include "communication/datainterface/network/Tcp.h"
#include "communication/datainterface/network/Udp.h"
#include "lines/NetLine.h"

namespace {

using namespace std::chrono_literals;
using Communication::DataInterface::CDataInterface;
using Communication::DataInterface::Network::CTcp;
using Communication::DataInterface::Network::CUdp;
using SimLine::Protocol;
using Tree = boost::property_tree::ptree;

constexpr int kWaitMs = 5000;  // bound of every wait for bytes that must come

const char* Name(Protocol protocol) { return protocol == Protocol::Tcp ? "tcp" : "udp"; }

std::shared_ptr<CDataInterface> Transport(Protocol protocol) {
  if (protocol == Protocol::Tcp) return std::make_shared<CTcp>();
  return std::make_shared<CUdp>();
}

Tree Parameters(std::initializer_list<std::pair<const char*, std::string>> keys) {
  Tree tree;
  for (const auto& [key, value] : keys) tree.put(key, value);
  return tree;
}

bool WaitReadable(int fd) {
  pollfd poller{fd, POLLIN, 0};
  return ::poll(&poller, 1, kWaitMs) == 1;
}

// A plain socket of the test's own on 127.0.0.1.
class Socket {
 public:
  explicit Socket(int type) : fd_(::socket(AF_INET, type, 0)) {}
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  std::uint16_t Bind(std::uint16_t port = 0) const {
    sockaddr_in address = Loopback(port);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }
  bool SendTo(std::uint16_t port, const std::string& bytes) const {
    const sockaddr_in address = Loopback(port);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(bytes.size());
  }
  int Fd() const { return fd_; }

  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

 private:
  int fd_;
};

// The far end of a transport: the simulated hub's network line, driven by hand.
class Peer {
 public:
  explicit Peer(Protocol protocol) { line_.Open(protocol, 0); }

  std::uint16_t Port() const { return line_.Port(); }
  // What the transport needs to reach this peer; a UDP transport binds a free local port.
  Tree To(const std::string& timeout = "100") const {
    Tree tree = Parameters({{"ip", "127.0.0.1"}, {"port", std::to_string(Port())}, {"transmissiontimeout", timeout}});
    if (line_.Datagrams()) tree.put("localport", 0);
    return tree;
  }

  // Takes the transport's connection (TCP) and its first byte, from which a
  // UDP peer learns whom to answer.
  void Meet(CDataInterface& transport) {
    if (!line_.Datagrams()) {
      line_.HangUp();
      ASSERT_TRUE(WaitReadable(line_.Fd()));
      line_.Accept();
      ASSERT_TRUE(line_.HasClient());
    }
    ASSERT_EQ(transport.Write("?", 1), 1);
    ASSERT_TRUE(WaitReadable(line_.Fd()));
    if (line_.Datagrams()) {
      sockaddr_in sender{};
      socklen_t length = sizeof sender;
      char byte;
      ASSERT_EQ(::recvfrom(line_.Fd(), &byte, 1, MSG_PEEK, reinterpret_cast<sockaddr*>(&sender), &length), 1);
      transportPort_ = ntohs(sender.sin_port);
    }
    ASSERT_EQ(Receive(1), "?");
  }
  // The port a UDP transport sent its first byte from.
  std::uint16_t TransportPort() const { return transportPort_; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(line_.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  // One datagram, or what the connection has delivered once `count` bytes are in.
  std::string Receive(std::size_t count = 1) {
    std::string bytes;
    std::vector<std::uint8_t> chunk(1 << 16);
    while (bytes.size() < count && WaitReadable(line_.Fd())) {
      const ssize_t got = line_.Read(chunk.data(), chunk.size());
      if (got <= 0) break;
      bytes.append(reinterpret_cast<const char*>(chunk.data()), static_cast<std::size_t>(got));
      if (line_.Datagrams()) break;
    }
    return bytes;
  }

  SimLine::NetLine& Line() { return line_; }

 private:
  SimLine::NetLine line_;
  std::uint16_t transportPort_ = 0;
};

// ---- the receive ring ----

struct Step {
  enum Kind { kSend, kRead, kPurge, kReopen } kind;
  std::string bytes;  // sent by the peer, or what the Read must deliver (empty: the Read gives 0)
  int length = 0;     // of a Read
};

Step Send(std::string bytes) { return {Step::kSend, std::move(bytes)}; }
Step Read(int length, std::string expected = {}) { return {Step::kRead, std::move(expected), length}; }
Step Purge() { return {Step::kPurge, {}}; }
Step Reopen() { return {Step::kReopen, {}}; }

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + i % 26);
  return bytes;
}

struct RingCase {
  const char* name;
  std::vector<Step> steps;
  std::size_t timeouts;  // the only read records the case may log
};

class Ring : public ::testing::TestWithParam<Protocol> {};

TEST_P(Ring, KeepsWhatAChunkHeldForTheNextReadsOnly) {
  const std::string hundred = Pattern(100);
  const RingCase cases[] = {
      // A second receive would have waited out the time-out and logged it.
      {"one segment read as 4, then 96", {Send(hundred), Read(4, hundred.substr(0, 4)), Read(96, hundred.substr(4))}, 0},
      {"a frame across two segments",
       {Send(std::string("\xAA\x55\x0A\x00\x01\x02", 6)), Read(1, "\xAA"), Read(3, std::string("\x55\x0A\x00", 3)),
        Send("\x03\x04\x05\x06"), Read(6, "\x01\x02\x03\x04\x05\x06")},
       0},
      {"6 of 10 bytes, then a time-out", {Send("abcdef"), Read(10), Send("xyz"), Read(3, "xyz")}, 1},
      {"what a chunk left is gone after a purge", {Send("0123456789"), Read(4, "0123"), Purge(), Send("Z"), Read(1, "Z")}, 0},
      {"what waits on the socket is gone after a purge", {Send("0123456789"), Purge(), Send("Z"), Read(1, "Z")}, 0},
      {"a purge of a quiet link neither waits nor logs", {Purge(), Purge(), Send("Z"), Read(1, "Z")}, 0},
      {"what a chunk left is gone after a reopen", {Send("0123456789"), Read(4, "0123"), Reopen(), Send("Z"), Read(1, "Z")}, 0},
      {"a length of 0 or less reads nothing", {Send("abc"), Read(0), Read(-1), Read(3, "abc")}, 0},
  };
  for (const RingCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Peer peer(GetParam());
    const auto transport = Transport(GetParam());
    ASSERT_TRUE(transport->Open(peer.To()));
    peer.Meet(*transport);
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case Step::kSend:
          peer.Send(step.bytes);
          break;
        case Step::kRead: {
          std::string buffer(16 + static_cast<std::size_t>(std::max(step.length, 0)), '#');
          const int got = transport->Read(buffer.data(), step.length);
          EXPECT_EQ(got, step.bytes.empty() ? 0 : step.length) << "Read " << step.length;
          if (!step.bytes.empty()) {
            EXPECT_EQ(buffer.substr(0, step.bytes.size()), step.bytes);
          } else if (step.length <= 0) {
            EXPECT_EQ(buffer, std::string(buffer.size(), '#')) << "a Read of " << step.length << " wrote";
          }
          break;
        }
        case Step::kPurge:
          transport->Purge();
          break;
        case Step::kReopen:
          transport->Close();
          ASSERT_TRUE(transport->Open(peer.To()));
          peer.Meet(*transport);
          break;
      }
    }
    EXPECT_EQ(log.Count("<error> <hw> socket read timeout error"), c.timeouts);
    if (c.timeouts == 0) {
      EXPECT_EQ(log.Count("socket read"), 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, Ring, ::testing::Values(Protocol::Tcp, Protocol::Udp),
                         [](const auto& info) { return std::string(Name(info.param)); });

// ---- opening and closing ----

TEST(Network, DeviceWordsChooseTheTransportTcpFirst) {
  enum class Kind { Serial, Tcp, Udp };
  const std::pair<const char*, Kind> cases[] = {
      {"usbcu tcp", Kind::Tcp}, {"vectornav udp", Kind::Udp}, {"udp tcp", Kind::Tcp}, {"bsmain", Kind::Serial}, {"", Kind::Serial},
  };
  for (const auto& [words, kind] : cases) {
    const auto transport = CreateDataInterface(words);
    EXPECT_EQ(std::dynamic_pointer_cast<CTcp>(transport) != nullptr, kind == Kind::Tcp) << words;
    EXPECT_EQ(std::dynamic_pointer_cast<CUdp>(transport) != nullptr, kind == Kind::Udp) << words;
    EXPECT_EQ(std::dynamic_pointer_cast<Communication::DataInterface::CSerial>(transport) != nullptr,
              kind == Kind::Serial)
        << words;
  }
}

TEST(Network, OpenLogsItsLineAndRefusesASecondOpen) {
  LogCapture log;
  Peer tcpPeer(Protocol::Tcp);
  CTcp tcp;
  ASSERT_TRUE(tcp.Open(Parameters({{"port", std::to_string(tcpPeer.Port())}})));
  EXPECT_TRUE(log.Contains("<info> <hw> connecting to 127.0.0.1:" + std::to_string(tcpPeer.Port()) +
                           " (timeout = 1000) via TCP"));
  EXPECT_FALSE(tcp.Open(Parameters({{"port", std::to_string(tcpPeer.Port())}})));
  EXPECT_TRUE(log.Contains("<debug> <hw> socket already opened"));
  tcp.Close();
  EXPECT_TRUE(log.Contains("<debug> <hw> connection closed"));

  Peer udpPeer(Protocol::Udp);
  CUdp udp;
  ASSERT_TRUE(udp.Open(udpPeer.To("250")));
  EXPECT_TRUE(log.Contains("<info> <hw> connecting to 127.0.0.1:" + std::to_string(udpPeer.Port()) +
                           " (localip = 0.0.0.0, localport = 0, timeout = 250) via UDP"));

  // Everything on a closed transport says so and delivers nothing.
  udp.Close();
  const auto before = log.Count("<debug> <hw> socket not opened");
  char buffer[4];
  udp.Close();
  udp.Purge();
  EXPECT_EQ(udp.Read(buffer, 4), 0);
  EXPECT_EQ(udp.Write("abcd", 4), 0);
  EXPECT_EQ(log.Count("<debug> <hw> socket not opened"), before + 4);
}

// The failure is told by its record; Open returns false rather than throwing
// and leaves the transport closed.
TEST(Network, OpenFailuresGiveFalseWithTheirRecord) {
  // A port nobody listens on any more.
  std::uint16_t closedPort = 0;
  {
    Socket gone(SOCK_STREAM);
    closedPort = gone.Bind();
  }
  Socket taken(SOCK_DGRAM);
  const std::uint16_t takenPort = taken.Bind();
  // A listener whose only place in its queue is taken: further connection
  // attempts get no answer at all, as from an unreachable address.
  Socket deaf(SOCK_STREAM);
  const std::uint16_t deafPort = deaf.Bind();
  ASSERT_EQ(::listen(deaf.Fd(), 0), 0);
  Socket filler(SOCK_STREAM);
  const sockaddr_in deafAddress = Socket::Loopback(deafPort);
  ASSERT_EQ(::connect(filler.Fd(), reinterpret_cast<const sockaddr*>(&deafAddress), sizeof deafAddress), 0);

  struct Case {
    const char* name;
    Protocol protocol;
    Tree parameters;
    std::string record;
  };
  const auto port = [](std::uint16_t value) { return std::to_string(value); };
  const Case cases[] = {
      {"no listener", Protocol::Tcp, Parameters({{"port", port(closedPort)}}),
       "<error> <hw> connection failed: Connection refused"},
      {"no answer within the time-out", Protocol::Tcp,
       Parameters({{"port", port(deafPort)}, {"transmissiontimeout", "200"}}),
       "<error> <hw> connection failed: Connection timed out"},
      {"tcp host name", Protocol::Tcp, Parameters({{"ip", "localhost"}}), "<error> <hw> cann't open socket: invalid ip localhost"},
      {"tcp bad address", Protocol::Tcp, Parameters({{"ip", "192.168.1.300"}}),
       "<error> <hw> cann't open socket: invalid ip 192.168.1.300"},
      {"udp host name", Protocol::Udp, Parameters({{"ip", "hub.local"}}), "<error> <hw> cann't open socket: invalid ip hub.local"},
      {"udp bad local address", Protocol::Udp, Parameters({{"localip", "any"}}),
       "<error> <hw> cann't open socket: invalid localip any"},
      {"port beyond 16 bits", Protocol::Tcp, Parameters({{"port", "70000"}}), "<error> <hw> cann't open socket: invalid port 70000"},
      {"negative local port", Protocol::Udp, Parameters({{"localport", "-1"}}),
       "<error> <hw> cann't open socket: invalid localport -1"},
      {"time-out not a number", Protocol::Udp, Parameters({{"transmissiontimeout", "soon"}}),
       "<error> <hw> cann't open socket: invalid transmissiontimeout soon"},
      {"local port taken", Protocol::Udp, Parameters({{"localip", "127.0.0.1"}, {"localport", port(takenPort)}}),
       "<error> <hw> cann't bind socket: Address already in use"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const auto transport = Transport(c.protocol);
    // Bounded, so that a connect left to the system's own time-out of minutes fails here.
    auto open = std::async(std::launch::async, [&] { return transport->Open(c.parameters); });
    ASSERT_EQ(open.wait_for(5s), std::future_status::ready);
    bool opened = true;
    EXPECT_NO_THROW(opened = open.get());
    EXPECT_FALSE(opened);
    EXPECT_EQ(log.Count(c.record), 1u) << "records:\n" << ::testing::PrintToString(log.Lines());
    EXPECT_EQ(transport->Write("a", 1), 0);
  }
}

// ---- UDP ----

// A datagram from a socket of the test's own to the transport's local port is read.
void ExpectHeard(CDataInterface& udp, std::uint16_t localPort) {
  Socket stranger(SOCK_DGRAM);
  ASSERT_TRUE(stranger.SendTo(localPort, "other"));
  char buffer[5];
  ASSERT_EQ(udp.Read(buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), "other");
}

TEST(Udp, BindsOneBelowTheRemotePortUnlessTold) {
  LogCapture log;
  // Port P - 1 may be someone else's; another P then.
  bool checked = false;
  for (int attempt = 0; attempt < 20 && !checked; ++attempt) {
    Peer peer(Protocol::Udp);
    CUdp udp;
    if (!udp.Open(Parameters({{"port", std::to_string(peer.Port())}}))) continue;
    peer.Meet(udp);
    EXPECT_EQ(peer.TransportPort(), peer.Port() - 1);
    checked = true;
  }
  EXPECT_TRUE(checked) << "no port below a free one was free";

  // Port 0 wraps to 65535; the socket takes datagrams sent there.
  CUdp wrapped;
  ASSERT_TRUE(wrapped.Open(Parameters({{"port", "0"}, {"localip", "127.0.0.1"}, {"transmissiontimeout", "500"}})));
  EXPECT_TRUE(log.Contains("<info> <hw> connecting to 127.0.0.1:0 (localip = 127.0.0.1, localport = 65535, "
                           "timeout = 500) via UDP"));
  ExpectHeard(wrapped, 65535);
}

TEST(Udp, EveryWriteIsOneDatagramAndAnySenderIsHeard) {
  Peer peer(Protocol::Udp);
  CUdp udp;
  ASSERT_TRUE(udp.Open(peer.To()));
  peer.Meet(udp);
  EXPECT_EQ(udp.Write("abc", 3), 3);
  EXPECT_EQ(udp.Write("defgh", 5), 5);
  EXPECT_EQ(peer.Receive(), "abc");
  EXPECT_EQ(peer.Receive(), "defgh");

  // A sender other than "ip":"port" counts like any other.
  ExpectHeard(udp, peer.TransportPort());
}

// ---- TCP ----

TEST(Tcp, WriteSendsEveryByte) {
  Peer peer(Protocol::Tcp);
  CTcp tcp;
  ASSERT_TRUE(tcp.Open(peer.To()));
  peer.Meet(tcp);
  // Far more than a socket takes at once, so that one send could not carry it.
  const std::string big = Pattern(8 << 20);
  std::string received;
  std::thread reader([&] { received = peer.Receive(big.size()); });
  EXPECT_EQ(tcp.Write(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  reader.join();
  EXPECT_TRUE(received == big) << received.size() << " of " << big.size() << " bytes arrived whole";
}

TEST(Tcp, ClosedPeerIsLoggedOnceAndEveryReadStillWaitsItsTimeOut) {
  LogCapture log;
  Peer peer(Protocol::Tcp);
  CTcp tcp;
  ASSERT_TRUE(tcp.Open(peer.To("50")));
  peer.Meet(tcp);
  peer.Line().HangUp();

  // A reader in a loop, as the stream thread is: were a failing receive to
  // return at once, it would make thousands of passes in this window.
  std::atomic<bool> stop{false};
  int passes = 0;
  std::thread reader([&] {
    char byte;
    while (!stop) {
      EXPECT_EQ(tcp.Read(&byte, 1), 0);
      ++passes;
    }
  });
  std::this_thread::sleep_for(500ms);
  stop = true;
  reader.join();
  EXPECT_GE(passes, 1);
  EXPECT_LE(passes, 15);
  EXPECT_EQ(log.Count("<error> <hw> socket read error: "), 1u) << ::testing::PrintToString(log.Lines());
  EXPECT_EQ(log.Count("<error> <hw> socket read error: End of file"), 1u);

  // A new connection reads again.
  tcp.Close();
  ASSERT_TRUE(tcp.Open(peer.To("50")));
  peer.Meet(tcp);
  peer.Send("ok");
  char buffer[2];
  ASSERT_EQ(tcp.Read(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

}  // namespace
