#include "sensorsim/SimulatedMemsense.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "lines/ServedLine.h"

namespace SensorSim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kSync = 0xA5;
constexpr std::uint8_t kDataType = 0x10;
constexpr std::size_t kConfigurationSteps = 8;
constexpr std::size_t kMaxBacklog = 8192;

void PutBig32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

float MemsenseValue(int seed, std::uint32_t counter, int index) {
  return static_cast<float>(seed * 100 + index) - static_cast<float>(counter % 64) / 64.0f;
}

std::uint32_t MemsenseWord(int seed, std::uint32_t counter, int index) {
  return 0x10000000u * static_cast<std::uint32_t>(seed + 1) + 0x100u * counter + static_cast<std::uint32_t>(index);
}

Bytes MemsensePacket(std::uint8_t type, const Bytes& payload) {
  Bytes packet(payload.size() + 6);
  packet[0] = kSync;
  packet[1] = kSync;
  packet[2] = type;
  packet[3] = static_cast<std::uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), packet.begin() + 4);
  std::uint8_t a = 0, b = 0;
  for (std::size_t i = 0; i + 2 < packet.size(); ++i) {
    a = static_cast<std::uint8_t>(a + packet[i]);
    b = static_cast<std::uint8_t>(b + a);
  }
  packet[packet.size() - 2] = a;
  packet[packet.size() - 1] = b;
  return packet;
}

Bytes MemsenseDataPacket(int seed, std::uint32_t counter) {
  Bytes payload;
  for (int group = 0; group < 4; ++group) {
    payload.push_back(static_cast<std::uint8_t>(group + 1));
    payload.push_back(0x0C);
    for (int k = 0; k < 3; ++k) {
      if (group < 3)
        PutBig32(payload, Bits(MemsenseValue(seed, counter, 3 * group + k)));
      else
        PutBig32(payload, MemsenseWord(seed, counter, k));
    }
  }
  return MemsensePacket(kDataType, payload);
}

class SimulatedMemsense::Impl : SimLine::ServedLine::Device {
 public:
  explicit Impl(MemsenseOptions options) : options_(options), streaming_(options.streamFromStart) {}

  void Attach(const std::filesystem::path& directory, int com) {
    line_.Stop();
    line_.StartPty(directory / ("ttyUSB" + std::to_string(com)));
  }

  // About every millisecond while a client has the line open.
  int WaitMs() const override { return 1; }

  void Received(const std::uint8_t* bytes, std::size_t count) override {
    partial_.insert(partial_.end(), bytes, bytes + count);
    while (!partial_.empty()) {
      if (partial_[0] != kSync || (partial_.size() > 1 && partial_[1] != kSync)) {
        partial_.erase(partial_.begin());
        continue;
      }
      if (partial_.size() < 4 || partial_.size() < partial_[3] + 6u) return;
      const Bytes packet(partial_.begin(), partial_.begin() + partial_[3] + 6);
      if (MemsensePacket(packet[2], Bytes(packet.begin() + 4, packet.end() - 2)) != packet) {
        partial_.erase(partial_.begin());
        continue;
      }
      partial_.erase(partial_.begin(), partial_.begin() + static_cast<long>(packet.size()));
      Handle(packet);
    }
  }

  void Handle(const Bytes& packet) {
    packets_.push_back(packet);
    changed_.notify_all();
    if ((packet[2] != 1 && packet[2] != 2) || packet.size() < 7) return;
    ++configurationPackets_;
    if (static_cast<int>(configurationPackets_) == options_.unansweredStep) return;
    line_.Send(MemsensePacket(packet[2], {0x80, 0x02, packet[4], 0x00}));
    if (configurationPackets_ >= kConfigurationSteps && !streaming_) {
      streaming_ = true;
      nextPacket_ = Clock::now();
    }
  }

  void Served() override {
    const auto now = Clock::now();
    if (!streaming_ || options_.frameRateHz <= 0 || now < nextPacket_) return;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options_.frameRateHz));
    nextPacket_ += period;
    if (nextPacket_ < now) nextPacket_ = now + period;
    if (line_.Backlog() >= kMaxBacklog) return;
    line_.Send(MemsenseDataPacket(options_.seed, sent_++));
    changed_.notify_all();
  }

  const MemsenseOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  SimLine::ServedLine line_{mutex_, *this};
  Bytes partial_;
  std::vector<Bytes> packets_;
  std::size_t configurationPackets_ = 0;
  bool streaming_;
  Clock::time_point nextPacket_{};
  std::uint32_t sent_ = 0;
};

SimulatedMemsense::SimulatedMemsense(MemsenseOptions options) : impl_(std::make_unique<Impl>(options)) {}

SimulatedMemsense::~SimulatedMemsense() { Stop(); }

void SimulatedMemsense::AttachPty(const std::filesystem::path& directory, int com) { impl_->Attach(directory, com); }

void SimulatedMemsense::Stop() { impl_->line_.Stop(); }

std::vector<Bytes> SimulatedMemsense::Packets() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->packets_;
}

bool SimulatedMemsense::Streaming() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->streaming_;
}

std::uint64_t SimulatedMemsense::PacketsSent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->sent_;
}

bool SimulatedMemsense::WaitForPackets(std::uint64_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, limit, [&] { return impl_->sent_ >= count; });
}

void SimulatedMemsense::SendRaw(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->line_.Send(bytes);
}

}  // namespace SensorSim
