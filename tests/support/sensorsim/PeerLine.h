#pragma once

// The sensor's end of a pseudo-terminal for the outside makers' simulated
// sensors: a serving thread that hands received bytes to the sensor, gives it
// a tick about every millisecond while a client has the line open, and
// writes what the sensor sends. When the client closes its end, whatever was
// not yet delivered is void.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "simhub/PtyLine.h"

namespace SensorSim {

using Bytes = std::vector<std::uint8_t>;

class PeerLine {
 public:
  struct Hooks {
    std::function<void(const std::uint8_t* bytes, std::size_t count)> received;
    std::function<void()> tick;
  };

  PeerLine() = default;
  ~PeerLine();  // stops
  PeerLine(const PeerLine&) = delete;
  PeerLine& operator=(const PeerLine&) = delete;

  // Makes <directory>/ttyUSB<com> a link to a new pty and serves it. The
  // hooks run on the serving thread.
  void Start(const std::filesystem::path& directory, int com, Hooks hooks);
  void Stop();  // safe twice
  // Queues bytes for the client, who gets them once it has the line open.
  void Send(const Bytes& bytes);
  // Bytes queued and not yet taken by the pty.
  std::size_t Backlog() const;

 private:
  void Serve();
  void Flush();

  SimHub::PtyLine pty_;
  Hooks hooks_;
  std::thread thread_;
  std::atomic<bool> stop_{true};
  std::atomic<bool> open_{false};
  mutable std::mutex outboxMutex_;
  Bytes outbox_;
};

}  // namespace SensorSim
