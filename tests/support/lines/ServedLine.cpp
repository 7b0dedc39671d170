#include "lines/ServedLine.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace SimLine {

namespace {

constexpr auto kClosedLinePause = std::chrono::milliseconds(2);
constexpr int kPacedPollMs = 1;  // longest pass while a paced line carries bytes (ms)

}  // namespace

void ServedLine::StartPty(const std::filesystem::path& link) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) throw std::logic_error("the line is served already");
  pty_.Open(link);
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

std::uint16_t ServedLine::StartNetwork(Protocol protocol, std::uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) throw std::logic_error("the line is served already");
  net_.Open(protocol, port);
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return net_.Port();
}

void ServedLine::Stop() {
  stop_ = true;
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  pty_.Close();
  net_.Close();
}

void ServedLine::Serve() {
  try {
    while (!stop_) {
      if (!Pass()) std::this_thread::sleep_for(kClosedLinePause);
    }
  } catch (const std::exception& error) {
    // A device that cannot serve goes silent, as a broken one would; the test
    // waiting on it fails by its own bounded wait.
    std::cerr << "simulated device stopped serving its line: " << error.what() << std::endl;
  }
}

bool ServedLine::Pass() {
  pollfd poller{};
  int timeout = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    poller.fd = Fd();
    // A paced line writes on its own schedule, not whenever the pty has room.
    poller.events = static_cast<short>(POLLIN | (outbox_.empty() || Paced() ? 0 : POLLOUT));
    timeout = device_.WaitMs();
    if (Paced() && (!outbox_.empty() || !inbox_.empty())) timeout = std::min(timeout, kPacedPollMs);
  }
  if (poller.fd < 0) return false;
  if (::poll(&poller, 1, timeout) < 0) return errno == EINTR;

  std::lock_guard<std::mutex> lock(mutex_);
  if (poller.fd != Fd()) return true;  // replugged meanwhile
  if (net_.Listening()) {
    if (poller.revents & POLLIN) net_.Accept();
    return net_.HasClient();
  }
  if (poller.revents & POLLHUP) {
    if (poller.revents & POLLIN) {
      if (!open_) Open();
      Receive();
      if (open_) ReceiveArrived();
    }
    if (open_) Close();
    device_.Unserved();
    outbox_.clear();
    return false;
  }
  if (!open_) Open();
  if (poller.revents & POLLIN) Receive();
  if (open_) ReceiveArrived();
  if (open_ && ClientKnown()) device_.Served();
  if (open_) Flush();
  return true;
}

void ServedLine::Receive() {
  std::uint8_t buffer[65536];  // a whole datagram
  const ssize_t count = net_.IsOpen() ? net_.Read(buffer, sizeof buffer) : ::read(pty_.Fd(), buffer, sizeof buffer);
  if (count < 0) {
    if (errno == EIO) Close();
    return;
  }
  if (count == 0) return;
  if (Paced()) {
    // The bytes are whole only once the line has carried them.
    inFreeAt_ = std::max(Clock::now(), inFreeAt_) + ByteTime() * count;
    inbox_.push_back({Bytes(buffer, buffer + count), inFreeAt_});
    return;
  }
  device_.Received(buffer, static_cast<std::size_t>(count));
}

void ServedLine::ReceiveArrived() {
  while (!inbox_.empty() && inbox_.front().due <= Clock::now()) {
    const Bytes chunk = std::move(inbox_.front().bytes);
    inbox_.pop_front();
    device_.Received(chunk.data(), chunk.size());
    if (!open_) return;
  }
}

void ServedLine::Send(const Bytes& bytes) {
  if (net_.Datagrams()) {
    if (!bytes.empty()) net_.Write(bytes.data(), bytes.size());
    return;
  }
  if (Paced() && outbox_.empty()) outFreeAt_ = std::max(outFreeAt_, Clock::now());
  outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
}

void ServedLine::Flush() {
  while (!outbox_.empty()) {
    std::size_t due = outbox_.size();
    if (Paced()) {
      // Only the bytes the line has finished carrying by now.
      const auto now = Clock::now();
      due = now <= outFreeAt_ ? 0 : std::min<std::size_t>(due, static_cast<std::size_t>((now - outFreeAt_) / ByteTime()));
      if (due == 0) return;
    }
    const ssize_t written = net_.IsOpen() ? net_.Write(outbox_.data(), due) : ::write(pty_.Fd(), outbox_.data(), due);
    if (Paced() && written > 0) outFreeAt_ += ByteTime() * written;
    if (written <= 0) {
      if (written < 0 && errno == EIO) Close();
      return;
    }
    outbox_.erase(outbox_.begin(), outbox_.begin() + written);
  }
}

void ServedLine::Open() {
  open_ = true;
  device_.Opened();
}

void ServedLine::Close() {
  EndSession();
  if (net_.IsOpen())
    net_.HangUp();
  else
    pty_.DiscardOutput();
}

void ServedLine::Drop() {
  Flush();
  EndSession();
  if (net_.IsOpen())
    net_.HangUp();
  else
    pty_.Replug();
}

void ServedLine::EndSession() {
  const bool wasOpen = std::exchange(open_, false);
  outbox_.clear();
  inbox_.clear();
  if (wasOpen) device_.Closed();
}

ServedLine::Clock::duration ServedLine::ByteTime() const {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / baudRate_));
}

}  // namespace SimLine
