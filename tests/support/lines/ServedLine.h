#pragma once

// A simulated device's end of a line, a pty behind a tty link or a network
// line on 127.0.0.1, served on a thread of its own. The simulated hub and the
// simulated outside sensors all run on it, so that a line behaves one way for
// all of them:
// - A client's session lasts from its opening its end to its closing it; the
//   device hears Opened and Closed once each per session.
// - What the client wrote before it closed is received all the same, also
//   from a session too short for a pass to see it open.
// - What was meant for the client and not yet taken is lost when its session
//   ends: the queue is dropped and the pty's unread output discarded.
// - A paced line hands received bytes on, and puts queued ones out, only once
//   the line has carried them at its baud rate, ten bits a byte.
//
// The device's calls run on the serving thread with the owner's mutex held;
// the owner holds it too for every call of its own but the Start calls and
// Stop.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "lines/NetLine.h"
#include "lines/PtyLine.h"

namespace SimLine {

using Bytes = std::vector<std::uint8_t>;

class ServedLine {
 public:
  class Device {
   public:
    virtual void Opened() {}
    virtual void Received(const std::uint8_t* bytes, std::size_t count) = 0;
    // Once a pass while a client has the line and is known to send to.
    virtual void Served() {}
    // Once a pass while no client has the line.
    virtual void Unserved() {}
    virtual void Closed() {}
    // The longest the next pass may wait for the line (ms).
    virtual int WaitMs() const = 0;

   protected:
    ~Device() = default;
  };

  ServedLine(std::mutex& mutex, Device& device) : mutex_(mutex), device_(device) {}
  ~ServedLine() { Stop(); }
  ServedLine(const ServedLine&) = delete;
  ServedLine& operator=(const ServedLine&) = delete;

  // Points `link` at a new pty and serves it.
  void StartPty(const std::filesystem::path& link);
  // Serves 127.0.0.1:port (0: a free port); returns the port.
  std::uint16_t StartNetwork(Protocol protocol, std::uint16_t port);
  // Safe twice, and from the serving thread, which it then does not join.
  void Stop();

  // 0: as fast as the pty. A network line is never paced.
  void SetBaudRate(long long baudRate) { baudRate_ = baudRate; }

  bool IsOpen() const { return open_; }
  bool Datagrams() const { return net_.Datagrams(); }
  std::uint16_t Port() const { return net_.Port(); }
  const std::filesystem::path& Link() const { return pty_.Link(); }

  // Queued for the client; on a datagram line sent at once as one datagram,
  // or dropped if it cannot go, as the network would.
  void Send(const Bytes& bytes);
  // Bytes queued and not yet taken by the line.
  std::size_t Backlog() const { return outbox_.size(); }
  // The line drops under the client: what is queued goes out first, then the
  // session ends; a pty is replugged, a network client hung up on.
  void Drop();

 private:
  using Clock = std::chrono::steady_clock;

  void Serve();
  // One serving pass; false while no client has the line.
  bool Pass();
  void Receive();
  void ReceiveArrived();
  void Flush();
  void Open();
  void Close();
  void EndSession();

  bool Paced() const { return baudRate_ > 0 && !net_.IsOpen(); }
  int Fd() const { return net_.IsOpen() ? net_.Fd() : pty_.Fd(); }
  // A datagram line learns whom to answer from the first datagram.
  bool ClientKnown() const { return !net_.IsOpen() || net_.HasClient(); }
  Clock::duration ByteTime() const;

  std::mutex& mutex_;
  Device& device_;
  PtyLine pty_;
  NetLine net_;  // serves instead of pty_ while open
  long long baudRate_ = 0;
  bool open_ = false;
  Bytes outbox_;
  struct Arriving {
    Bytes bytes;
    Clock::time_point due;  // when the line has carried the last of them
  };
  std::deque<Arriving> inbox_;  // paced lines only
  Clock::time_point inFreeAt_{};
  Clock::time_point outFreeAt_{};
  std::atomic<bool> stop_{true};
  std::thread thread_;
};

}  // namespace SimLine
