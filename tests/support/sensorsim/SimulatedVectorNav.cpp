#include "sensorsim/SimulatedVectorNav.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lines/ServedLine.h"

namespace SensorSim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaseRateHz = 800;
constexpr std::size_t kMaxLine = 256;
constexpr std::size_t kMaxBacklog = 8192;  // bytes; no new output while more wait
constexpr int kPacketValues = 15;

std::uint8_t Xor(const std::string& text) {
  std::uint8_t sum = 0;
  for (const char c : text) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(c));
  return sum;
}

void PutFloat(Bytes& bytes, float value) {
  std::uint8_t raw[4];
  std::memcpy(raw, &value, sizeof raw);
  bytes.insert(bytes.end(), raw, raw + 4);
}

int TextFields(const std::string& header) { return header == "VNYMR" ? 12 : header == "VNQTN" ? 4 : 0; }

Clock::duration Period(double hz) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

}  // namespace

float PacketValue(int seed, std::uint32_t counter, int index) {
  return static_cast<float>(seed * 1000 + index) + static_cast<float>(counter % 256) / 256.0f;
}

double TextValue(int seed, std::uint32_t counter, int index) {
  return seed * 100 + index + (counter % 8) / 8.0;
}

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count) {
  unsigned crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= static_cast<unsigned>(bytes[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(crc);
}

std::string TextLine(const std::string& body) {
  char trailer[8];
  std::snprintf(trailer, sizeof trailer, "*%02X\r\n", Xor(body));
  return "$" + body + trailer;
}

Bytes BinaryPacket(std::uint8_t groups, const std::vector<std::uint16_t>& fieldMasks, const Bytes& payload) {
  Bytes packet{0xFA, groups};
  for (const auto mask : fieldMasks) {
    packet.push_back(static_cast<std::uint8_t>(mask & 0xFF));
    packet.push_back(static_cast<std::uint8_t>(mask >> 8));
  }
  packet.insert(packet.end(), payload.begin(), payload.end());
  const std::uint16_t crc = Crc16(packet.data() + 1, packet.size() - 1);
  packet.push_back(static_cast<std::uint8_t>(crc >> 8));
  packet.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return packet;
}

Bytes CommonPacket(int seed, std::uint32_t counter) {
  Bytes payload;
  for (int k = 0; k < kPacketValues; ++k) PutFloat(payload, PacketValue(seed, counter, k));
  return BinaryPacket(0x01, {0x0530}, payload);
}

class SimulatedVectorNav::Impl : SimLine::ServedLine::Device {
 public:
  explicit Impl(VectorNavOptions options) : options_(std::move(options)), textOutput_(options_.textOutput) {}

  void Attach(const std::filesystem::path& directory, int com) {
    line_.Stop();
    line_.StartPty(directory / ("ttyUSB" + std::to_string(com)));
  }

  // About every millisecond while a client has the line open.
  int WaitMs() const override { return 1; }

  void Stop() { line_.Stop(); }

  void Received(const std::uint8_t* bytes, std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      const char c = static_cast<char>(bytes[i]);
      if (c == '$') partial_.clear();
      if (partial_.empty() && c != '$') continue;
      partial_ += c;
      if (partial_.size() >= 2 && partial_.compare(partial_.size() - 2, 2, "\r\n") == 0) {
        Command(partial_);
        partial_.clear();
      } else if (partial_.size() >= kMaxLine) {
        partial_.clear();
      }
    }
  }

  void Command(const std::string& line) {
    commands_.push_back(line);
    changed_.notify_all();
    if (line.size() < 7 || line[line.size() - 5] != '*') return;
    const std::size_t star = line.size() - 5;
    const std::string body = line.substr(1, star - 1);
    unsigned sum = 0;
    if (std::sscanf(line.c_str() + star + 1, "%2X", &sum) != 1 || sum != Xor(body)) return;
    if (body.compare(0, 6, "VNWRG,") != 0) return;
    if (static_cast<int>(commands_.size()) <= options_.unansweredCommands) return;
    if (options_.errorNumber != 0) {
      char error[32];
      std::snprintf(error, sizeof error, "VNERR,%02d", options_.errorNumber);
      Reply(TextLine(error));
      return;
    }
    unsigned reg = 0, port = 0, divisor = 0;
    int textOff = -1;
    if (std::sscanf(body.c_str(), "VNWRG,75,%u,%u", &port, &divisor) == 2 && port == 1) {
      divisor_ = divisor;
      nextPacket_ = Clock::now();
    } else if (std::sscanf(body.c_str(), "VNWRG,%u,%d", &reg, &textOff) == 2 && reg == 6 && textOff == 0) {
      textOutput_.clear();
    }
    if (options_.textBeforeReply) Reply(TextMessage(options_.textOutput.empty() ? "VNYMR" : options_.textOutput));
    Reply(TextLine(body));
  }

  void Reply(const std::string& text) { line_.Send(Bytes(text.begin(), text.end())); }

  std::string TextMessage(const std::string& header) {
    std::string body = header;
    for (int k = 0; k < TextFields(header); ++k) {
      char field[32];
      std::snprintf(field, sizeof field, ",%+.4f", TextValue(options_.seed, textCounter_, k));
      body += field;
    }
    ++textCounter_;
    return TextLine(body);
  }

  void Served() override {
    const auto now = Clock::now();
    if (divisor_ != 0 && now >= nextPacket_) {
      const auto period = Period(kBaseRateHz / divisor_);
      nextPacket_ += period;
      if (nextPacket_ < now) nextPacket_ = now + period;  // a slow reader gets no burst to catch up
      if (line_.Backlog() < kMaxBacklog) {
        line_.Send(CommonPacket(options_.seed, packetCounter_++));
        changed_.notify_all();
      }
    }
    if (!textOutput_.empty() && options_.textRateHz > 0 && now >= nextText_) {
      nextText_ = now + Period(options_.textRateHz);
      if (line_.Backlog() < kMaxBacklog) {
        const std::string text = TextMessage(textOutput_);
        line_.Send(Bytes(text.begin(), text.end()));
      }
    }
  }

  std::vector<std::string> Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  template <class Condition>
  bool WaitUntil(std::chrono::milliseconds limit, Condition condition) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, condition);
  }

  const VectorNavOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  SimLine::ServedLine line_{mutex_, *this};
  std::string partial_;
  std::vector<std::string> commands_;
  std::string textOutput_;
  unsigned divisor_ = 0;
  Clock::time_point nextPacket_;
  Clock::time_point nextText_;
  std::uint32_t packetCounter_ = 0;
  std::uint32_t textCounter_ = 0;
};

SimulatedVectorNav::SimulatedVectorNav(VectorNavOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SimulatedVectorNav::~SimulatedVectorNav() { Stop(); }

void SimulatedVectorNav::AttachPty(const std::filesystem::path& directory, int com) { impl_->Attach(directory, com); }

void SimulatedVectorNav::Stop() { impl_->Stop(); }

std::vector<std::string> SimulatedVectorNav::Commands() const { return impl_->Commands(); }

bool SimulatedVectorNav::WaitForCommands(std::size_t count, std::chrono::milliseconds limit) const {
  return impl_->WaitUntil(limit, [&] { return impl_->commands_.size() >= count; });
}

std::uint64_t SimulatedVectorNav::PacketsSent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->packetCounter_;
}

bool SimulatedVectorNav::WaitForPackets(std::uint64_t count, std::chrono::milliseconds limit) const {
  return impl_->WaitUntil(limit, [&] { return impl_->packetCounter_ >= count; });
}

unsigned SimulatedVectorNav::Divisor() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->divisor_;
}

bool SimulatedVectorNav::TextOutputOn() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return !impl_->textOutput_.empty();
}

void SimulatedVectorNav::SendRaw(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->line_.Send(bytes);
}

}  // namespace SensorSim
