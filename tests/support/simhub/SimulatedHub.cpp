#include "simhub/SimulatedHub.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "simhub/Codec.h"
#include "simhub/Faults.h"
#include "simhub/FlashStore.h"
#include "simhub/NetLine.h"
#include "simhub/Personality.h"
#include "simhub/PtyLine.h"

namespace SimHub {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 5;                        // longest wait of one serving pass (ms)
constexpr auto kClosedLinePause = std::chrono::milliseconds(2);
constexpr auto kInterByteTimeout = std::chrono::milliseconds(100);  // a request cut short is dropped after it
constexpr std::size_t kMaxBacklog = 8192;         // bytes; no new data frame while more wait
constexpr int kPacedPollMs = 1;                   // longest pass while a paced line carries bytes (ms)

}  // namespace

std::uint16_t SyntheticWord(std::uint16_t counter, int position, int wordIndex) {
  return static_cast<std::uint16_t>(counter * 0x200 + position * 0x10 + wordIndex);
}

class SimulatedHub::Impl {
 public:
  explicit Impl(HubOptions options) : kind_(KindInfo(options.kind).make()) {
    state_.identity = options.identity.empty() ? DefaultIdentity(options.kind) : options.identity;
    state_.formatCode = options.formatCode;
    state_.options = std::move(options);
  }

  ~Impl() { Stop(); }

  void Attach(const std::filesystem::path& directory, int comNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) throw std::logic_error("the simulated hub already serves a line");
    line_.Open(directory / ("ttyUSB" + std::to_string(comNumber)));
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
  }

  std::uint16_t AttachNetwork(Protocol protocol, std::uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) throw std::logic_error("the simulated hub already serves a line");
    net_.Open(protocol, port);
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return net_.Port();
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    line_.Close();
    net_.Close();
  }

  void Serve() {
    try {
      while (!stop_) {
        if (!Pass()) std::this_thread::sleep_for(kClosedLinePause);
      }
    } catch (const std::exception& error) {
      // A hub that cannot serve goes silent, as a broken one would; the
      // test waiting on it fails by its own bounded wait.
      std::cerr << "simulated hub stopped serving: " << error.what() << std::endl;
    }
  }

  // One serving pass; false while no client has the line open.
  bool Pass() {
    pollfd poller{};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      poller.fd = LineFd();
      // A paced line writes on its own schedule, not whenever the pty has room.
      poller.events = static_cast<short>(POLLIN | (outbox_.empty() || Paced() ? 0 : POLLOUT));
    }
    if (poller.fd < 0) return false;
    // Wake up for the next data frame rather than a whole poll period later.
    int timeout = kPollMs;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Streams()) {
        const auto untilFrame = std::chrono::duration_cast<std::chrono::milliseconds>(nextFrame_ - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(untilFrame, 0, kPollMs));
      }
      if (Paced() && (!outbox_.empty() || !inbox_.empty())) timeout = std::min(timeout, kPacedPollMs);
    }
    if (poll(&poller, 1, timeout) < 0) return errno == EINTR;

    std::lock_guard<std::mutex> lock(mutex_);
    if (poller.fd != LineFd()) return true;  // replugged meanwhile
    if (net_.Listening()) {
      if (poller.revents & POLLIN) net_.Accept();
      return net_.HasClient();
    }
    if (poller.revents & POLLHUP) {
      // What the client wrote just before it closed are requests all the same.
      if ((poller.revents & POLLIN) && lineOpen_) {
        Receive();
        if (lineOpen_) ConsumeArrived();
      }
      if (lineOpen_) LineClosed();
      return false;
    }
    lineOpen_ = true;
    if (poller.revents & POLLIN) Receive();
    if (lineOpen_) ConsumeArrived();
    if (lineOpen_ && ClientKnown()) StreamTick();
    if (lineOpen_) Flush();
    return true;
  }

  void Receive() {
    std::uint8_t buffer[65536];  // a whole datagram
    const ssize_t count = net_.IsOpen() ? net_.Read(buffer, sizeof buffer) : ::read(line_.Fd(), buffer, sizeof buffer);
    const auto now = Clock::now();
    if (count < 0) {
      if (errno == EIO) LineClosed();
      return;
    }
    if (count == 0) return;
    if (now - lastByte_ > kInterByteTimeout && inbox_.empty()) reader_.Clear();
    lastByte_ = now;
    if (Paced()) {
      // The bytes are whole only once the line has carried them.
      inFreeAt_ = std::max(now, inFreeAt_) + ByteTime() * count;
      inbox_.push_back({Bytes(buffer, buffer + count), inFreeAt_});
      return;
    }
    Consume(buffer, static_cast<std::size_t>(count));
  }

  void Consume(const std::uint8_t* bytes, std::size_t count) {
    reader_.Feed(bytes, count);
    while (auto frame = reader_.Next()) {
      Handle(*frame);
      if (!lineOpen_) return;
    }
  }

  void ConsumeArrived() {
    while (!inbox_.empty() && inbox_.front().due <= Clock::now()) {
      const Bytes chunk = std::move(inbox_.front().bytes);
      inbox_.pop_front();
      Consume(chunk.data(), chunk.size());
      if (!lineOpen_) return;
    }
  }

  bool Paced() const { return state_.options.baudRate > 0 && !net_.IsOpen(); }

  int LineFd() const { return net_.IsOpen() ? net_.Fd() : line_.Fd(); }
  // A UDP line learns whom to answer from the first datagram.
  bool ClientKnown() const { return !net_.IsOpen() || net_.HasClient(); }

  // Bytes for the client: queued for the line, or on a datagram line sent at
  // once as one datagram (dropped if it cannot go, as the network would).
  void Emit(const Bytes& bytes) {
    if (net_.Datagrams()) {
      if (!bytes.empty()) net_.Write(bytes.data(), bytes.size());
      return;
    }
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
  }
  // Ten bits a byte: start, eight data bits, stop.
  Clock::duration ByteTime() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / state_.options.baudRate));
  }

  void Handle(const Bytes& frame) {
    requests_.push_back(frame);
    changed_.notify_all();
    if (state_.options.echoRequests) Emit(frame);
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
      if (!lineOpen_) return;
    }
  }

  bool Streams() const { return state_.autoTransmit || kind_->StreamsUnasked(); }

  void StreamTick() {
    if (!Streams() || state_.options.frameRateHz <= 0) return;
    const auto now = Clock::now();
    if (now < nextFrame_) return;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / state_.options.frameRateHz));
    nextFrame_ += period;
    if (nextFrame_ < now) nextFrame_ = now + period;  // a slow reader gets no burst to catch up
    if (outbox_.size() > kMaxBacklog) return;          // nobody reads: drop, as a hub's full buffer would
    const Bytes frame = kind_->DataFrame(state_);
    ++dataFrames_;
    changed_.notify_all();
    Send(frame);
  }

  void Send(const Bytes& frame) {
    const Outgoing out = ApplyFault(faults_.Take(), frame);
    if (Paced() && outbox_.empty()) outFreeAt_ = std::max(outFreeAt_, Clock::now());
    bytesSent_ += out.bytes.size();
    Emit(out.bytes);
    if (out.dropLineAfter) DropLine();
  }

  void Flush() {
    while (!outbox_.empty()) {
      std::size_t due = outbox_.size();
      if (Paced()) {
        // Only the bytes the line has finished carrying by now.
        const auto now = Clock::now();
        due = now <= outFreeAt_ ? 0 : std::min<std::size_t>(due, static_cast<std::size_t>((now - outFreeAt_) / ByteTime()));
        if (due == 0) return;
      }
      const ssize_t written = net_.IsOpen() ? net_.Write(outbox_.data(), due) : ::write(line_.Fd(), outbox_.data(), due);
      if (Paced() && written > 0) outFreeAt_ += ByteTime() * written;
      if (written <= 0) {
        if (written < 0 && errno == EIO) LineClosed();
        return;
      }
      outbox_.erase(outbox_.begin(), outbox_.begin() + written);
    }
  }

  // The client let go of the line: what was meant for it is void.
  void LineClosed() {
    EndSession();
    if (net_.IsOpen())
      net_.HangUp();
    else
      line_.DiscardOutput();
  }

  void EndSession() {
    lineOpen_ = false;
    state_.autoTransmit = false;
    outbox_.clear();
    inbox_.clear();
    reader_.Clear();
  }

  void DropLine() {
    Flush();
    EndSession();
    // Unplugged and plugged in again: the hub starts afresh.
    state_.power = false;
    state_.formatCode = state_.options.formatCode;
    if (net_.IsOpen())
      net_.HangUp();
    else
      line_.Replug();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  HubState state_;
  std::unique_ptr<Personality> kind_;
  PtyLine line_;
  NetLine net_;  // serves instead of line_ while open
  FrameReader reader_;
  FaultQueue faults_;
  int ignoreRequests_ = 0;
  std::vector<Bytes> requests_;
  std::uint64_t dataFrames_ = 0;
  Bytes outbox_;
  struct Arriving {
    Bytes bytes;
    Clock::time_point due;  // when the line has carried the last of them
  };
  std::deque<Arriving> inbox_;  // paced lines only
  Clock::time_point inFreeAt_{};
  Clock::time_point outFreeAt_{};
  std::uint64_t bytesSent_ = 0;
  bool lineOpen_ = false;
  Clock::time_point nextFrame_{};
  Clock::time_point lastByte_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

SimulatedHub::SimulatedHub(HubOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SimulatedHub::~SimulatedHub() { Stop(); }

void SimulatedHub::AttachPty(const std::filesystem::path& ttyDirectory, int comNumber) { impl_->Attach(ttyDirectory, comNumber); }

std::uint16_t SimulatedHub::AttachNetwork(Protocol protocol, std::uint16_t port) {
  return impl_->AttachNetwork(protocol, port);
}

std::uint16_t SimulatedHub::Port() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->net_.Port();
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
  if (fault == Fault::NoWriteAck || fault == Fault::WriteRefused || fault == Fault::ShortFlashRead ||
      fault == Fault::LongFlashRead) {
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

bool SimulatedHub::WaitForRequest(std::uint16_t commandWord, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(impl_->mutex_);
  return impl_->changed_.wait_for(lock, limit, [&] {
    return std::any_of(impl_->requests_.begin(), impl_->requests_.end(),
                       [&](const Bytes& frame) { return CommandWord(frame) == commandWord; });
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
