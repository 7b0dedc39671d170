#include "sensorsim/PeerLine.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>

namespace SensorSim {

namespace {

constexpr int kPollMs = 1;
constexpr auto kClosedPause = std::chrono::milliseconds(2);

}  // namespace

PeerLine::~PeerLine() { Stop(); }

void PeerLine::Start(const std::filesystem::path& directory, int com, Hooks hooks) {
  Stop();
  hooks_ = std::move(hooks);
  pty_.Open(directory / ("ttyUSB" + std::to_string(com)));
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PeerLine::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  pty_.Close();
}

void PeerLine::Send(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(outboxMutex_);
  outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
}

std::size_t PeerLine::Backlog() const {
  std::lock_guard<std::mutex> lock(outboxMutex_);
  return outbox_.size();
}

void PeerLine::Serve() {
  try {
    while (!stop_) {
      pollfd poller{pty_.Fd(), POLLIN, 0};
      if (Backlog() > 0) poller.events |= POLLOUT;
      if (::poll(&poller, 1, kPollMs) < 0 && errno != EINTR) return;
      if (poller.revents & POLLHUP) {
        if (open_.exchange(false)) {
          std::lock_guard<std::mutex> lock(outboxMutex_);
          outbox_.clear();
          pty_.DiscardOutput();
        }
        std::this_thread::sleep_for(kClosedPause);
        continue;
      }
      open_ = true;
      if (poller.revents & POLLIN) {
        std::uint8_t buffer[4096];
        const ssize_t count = ::read(pty_.Fd(), buffer, sizeof buffer);
        if (count > 0 && hooks_.received) hooks_.received(buffer, static_cast<std::size_t>(count));
      }
      if (hooks_.tick) hooks_.tick();
      Flush();
    }
  } catch (const std::exception& error) {
    // A sensor that cannot serve goes silent; the test waiting on it fails by its own bounded wait.
    std::cerr << "simulated sensor stopped serving: " << error.what() << std::endl;
  }
}

void PeerLine::Flush() {
  std::lock_guard<std::mutex> lock(outboxMutex_);
  if (outbox_.empty()) return;
  const ssize_t written = ::write(pty_.Fd(), outbox_.data(), outbox_.size());
  if (written > 0) outbox_.erase(outbox_.begin(), outbox_.begin() + written);
}

}  // namespace SensorSim
