#include "simhub/SimulatedHub.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "lines/ServedLine.h"
#include "simhub/Codec.h"
#include "simhub/Faults.h"
#include "simhub/FlashStore.h"
#include "simhub/Personality.h"

namespace SimHub {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 5;                        // longest wait of one serving pass (ms)
constexpr auto kInterByteTimeout = std::chrono::milliseconds(100);  // a request cut short is dropped after it
constexpr std::size_t kMaxBacklog = 8192;         // bytes; no new data frame while more wait

}  // namespace

std::uint16_t SyntheticWord(std::uint16_t counter, int position, int wordIndex) {
  return static_cast<std::uint16_t>(counter * 0x200 + position * 0x10 + wordIndex);
}

class SimulatedHub::Impl : SimLine::ServedLine::Device {
 public:
  explicit Impl(HubOptions options) : kind_(KindInfo(options.kind).make()) {
    state_.identity = options.identity.empty() ? DefaultIdentity(options.kind) : options.identity;
    state_.formatCode = options.formatCode;
    state_.options = std::move(options);
    line_.SetBaudRate(state_.options.baudRate);
  }

  ~Impl() { Stop(); }

  void Attach(const std::filesystem::path& directory, int comNumber) {
    line_.StartPty(directory / ("ttyUSB" + std::to_string(comNumber)));
  }

  std::uint16_t AttachNetwork(Protocol protocol, std::uint16_t port) { return line_.StartNetwork(protocol, port); }

  void Stop() { line_.Stop(); }

  int WaitMs() const override {
    if (!Streams()) return kPollMs;
    // Wake up for the next data frame rather than a whole poll period later.
    const auto untilFrame = std::chrono::duration_cast<std::chrono::milliseconds>(nextFrame_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(untilFrame, 0, kPollMs));
  }

  void Opened() override {
    // A byte stream opened while a frame is under way starts in its middle;
    // datagrams come whole or not at all.
    joinMidFrame_ = Streams() && !line_.Datagrams();
  }

  void Received(const std::uint8_t* bytes, std::size_t count) override {
    const auto now = Clock::now();
    if (now - lastByte_ > kInterByteTimeout) reader_.Clear();
    lastByte_ = now;
    reader_.Feed(bytes, count);
    while (auto frame = reader_.Next()) {
      Handle(*frame);
      if (!line_.IsOpen()) return;
    }
  }

  void Served() override { StreamTick(); }
  // Streaming on into a closed port: the frames are lost.
  void Unserved() override { StreamTick(); }

  // What was meant for the client is lost with its session. A hub does not
  // see the line close, so it streams on unless told otherwise.
  void Closed() override {
    reader_.Clear();
    if (state_.options.stopsStreamingOnClose) state_.autoTransmit = false;
  }

  void Handle(const Bytes& frame) {
    requests_.push_back(frame);
    changed_.notify_all();
    if (state_.options.echoRequests) line_.Send(frame);
    if (ignoreRequests_ > 0) {
      --ignoreRequests_;
      return;
    }
    const Request request{frame, frame[1], CommandWord(frame), FrameData(frame)};
    const auto& rows = kind_->Commands();
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const CommandRow& r) { return r.word == request.word; });
    if (row == rows.end()) return;  // a hub ignores what it does not know
    const bool wasStreaming = state_.autoTransmit;
    Replies replies;
    row->handle(*kind_, state_, request, replies);
    if (state_.autoTransmit && !wasStreaming) nextFrame_ = Clock::now();
    for (const Bytes& reply : replies) {
      Send(reply);
      if (!line_.IsOpen()) return;
    }
    if (std::exchange(state_.dropLine, false)) DropLine();
  }

  bool Streams() const { return state_.autoTransmit || kind_->StreamsUnasked(); }

  void StreamTick() {
    if (!Streams() || state_.options.frameRateHz <= 0) return;
    const auto now = Clock::now();
    if (now < nextFrame_) return;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / state_.options.frameRateHz));
    nextFrame_ += period;
    if (nextFrame_ < now) nextFrame_ = now + period;  // a slow reader gets no burst to catch up
    if (line_.Backlog() > kMaxBacklog) return;        // nobody reads: drop, as a hub's full buffer would
    Bytes frame = kind_->DataFrame(state_);
    ++dataFrames_;
    changed_.notify_all();
    // The client opened the port while this frame was under way.
    if (std::exchange(joinMidFrame_, false)) frame.erase(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(frame.size() / 2));
    Send(frame);
  }

  void Send(const Bytes& frame) {
    const Outgoing out = ApplyFault(faults_.Take(), frame);
    bytesSent_ += out.bytes.size();
    line_.Send(out.bytes);
    if (out.dropLineAfter) DropLine();
  }

  void DropLine() {
    line_.Drop();
    state_.autoTransmit = false;
    // Unplugged and plugged in again: the hub starts afresh.
    state_.power = false;
    state_.formatCode = state_.options.formatCode;
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  HubState state_;
  std::unique_ptr<Personality> kind_;
  SimLine::ServedLine line_{mutex_, *this};
  FrameReader reader_;
  FaultQueue faults_;
  int ignoreRequests_ = 0;
  std::vector<Bytes> requests_;
  std::uint64_t dataFrames_ = 0;
  std::uint64_t bytesSent_ = 0;
  bool joinMidFrame_ = false;
  Clock::time_point nextFrame_{};
  Clock::time_point lastByte_{};
};

SimulatedHub::SimulatedHub(HubOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SimulatedHub::~SimulatedHub() { Stop(); }

void SimulatedHub::AttachPty(const std::filesystem::path& ttyDirectory, int comNumber) { impl_->Attach(ttyDirectory, comNumber); }

std::uint16_t SimulatedHub::AttachNetwork(Protocol protocol, std::uint16_t port) {
  return impl_->AttachNetwork(protocol, port);
}

std::uint16_t SimulatedHub::Port() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->line_.Port();
}

std::filesystem::path SimulatedHub::LinkPath() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->line_.Link();
}

void SimulatedHub::Stop() { impl_->Stop(); }

void SimulatedHub::InjectFault(Fault fault, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  if (fault == Fault::StopAnswering) {
    impl_->state_.autoTransmit = false;
    impl_->ignoreRequests_ += std::max(count, 0);
    return;
  }
  if (IsFlashFault(fault)) {
    impl_->state_.flashFaults.Add(fault, count);
    return;
  }
  if (fault == Fault::None) {
    impl_->ignoreRequests_ = 0;
    impl_->state_.flashFaults = FlashFaults{};
  }
  impl_->faults_.Add(fault, count);
}

bool SimulatedHub::Streaming() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->state_.autoTransmit;
}

std::uint16_t SimulatedHub::FormatCode() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->state_.formatCode;
}

std::uint64_t SimulatedHub::BytesSent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->bytesSent_;
}

std::uint64_t SimulatedHub::DataFramesSent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->dataFrames_;
}

std::vector<Bytes> SimulatedHub::RequestsReceived() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->requests_;
}

bool SimulatedHub::WaitForRequest(std::uint16_t commandWord, std::chrono::milliseconds limit, std::size_t count) const {
  std::unique_lock<std::mutex> lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, limit, [&] {
    return static_cast<std::size_t>(std::count_if(impl_->requests_.begin(), impl_->requests_.end(), [&](const Bytes& frame) {
             return CommandWord(frame) == commandWord;
           })) >= count;
  });
}

bool SimulatedHub::WaitForDataFrames(std::uint64_t frames, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, limit, [&] { return impl_->dataFrames_ >= frames; });
}

Bytes SimulatedHub::Flash(std::size_t sensor) const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->state_.options.sensors.at(sensor).flash;
}

void SimulatedHub::SetFlash(std::size_t sensor, Bytes image) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->state_.options.sensors.at(sensor).flash = std::move(image);
}

void SimulatedHub::LoadImages(const std::filesystem::path& file) {
  std::vector<Bytes> images = ReadImages(file);
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  auto& sensors = impl_->state_.options.sensors;
  // A file with more images than sensors keeps them all, so saving loses none.
  if (sensors.size() < images.size()) sensors.resize(images.size(), SimSensor{"DKv3", {}, {}});
  for (std::size_t i = 0; i < images.size(); ++i) sensors[i].flash = std::move(images[i]);
}

void SimulatedHub::SaveImages(const std::filesystem::path& file) const {
  std::vector<Bytes> images;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    for (const SimSensor& sensor : impl_->state_.options.sensors) images.push_back(sensor.flash);
  }
  WriteImages(file, images);
}

}  // namespace SimHub
