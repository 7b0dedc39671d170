#include "communication/qn/Hub.h"

#include <array>
#include <string_view>
#include <thread>

#include <boost/log/utility/manipulators/dump.hpp>

#include "common/Configuration.h"
#include "common/Log.h"

namespace Communication::Device::QN {

namespace {

using Frame::Command;

struct DataTypeWord {
  std::string_view word;
  int dataType;
};

// Tested in this order, so that the longer words win over the ones they contain.
constexpr std::array<DataTypeWord, 4> kDataTypeWords{{
    {"quatcalibratedt", DataType::kQuatCalibrated},
    {"calibratedt", DataType::kCalibrated},
    {"quat", DataType::kQuat},
    {"raw", DataType::kRaw},
}};

constexpr std::chrono::milliseconds kAfterWake{1};
constexpr std::chrono::milliseconds kAfterReset{1000};
// How long the stream loop stands aside for a waiting request before it looks
// at its stop flag again.
constexpr std::chrono::milliseconds kTurnWait{50};

void Wait(std::chrono::milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

const char* Chars(const std::uint8_t* bytes) { return reinterpret_cast<const char*>(bytes); }
char* Chars(std::uint8_t* bytes) { return reinterpret_cast<char*>(bytes); }

}  // namespace

// A request's hold on the transport's input. The stream loop sees the waiting
// count and yields its next read to the request.
class CHub::RequestTurn {
 public:
  explicit RequestTurn(CHub& hub) : hub_(hub) {
    ++hub_.requestsWaiting_;
    lock_ = std::unique_lock<std::mutex>(hub_.readMutex_);
    --hub_.requestsWaiting_;
  }
  ~RequestTurn() {
    lock_.unlock();
    hub_.readTurnChanged_.notify_all();
  }
  RequestTurn(const RequestTurn&) = delete;
  RequestTurn& operator=(const RequestTurn&) = delete;

 private:
  CHub& hub_;
  std::unique_lock<std::mutex> lock_;
};

CHub::CHub(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : Device::CHub(std::move(id), "quenlith", std::move(transport)) {}

void CHub::SetAutoTx(bool) {}

void CHub::SetPower(bool) {}

void CHub::OnFrame(HubFrame&) {}

bool CHub::Configure(const boost::property_tree::ptree& parameters) {
  const long long baudrate = parameters.get<long long>("baudrate", 1000000);
  if (baudrate <= 0) {
    QLOG(error) << "invalid baudrate " << baudrate;
    return false;
  }
  const long long frequency = parameters.get<long long>("frequency", 60);
  if (frequency <= 0) {
    QLOG(error) << "invalid frequency " << frequency;
    return false;
  }
  delayBetweenWriting_ = parameters.get<int>("delaybetweenwriting", static_cast<int>((200000 / baudrate) | 1));
  period_ = static_cast<int>(1000000 / frequency - 1);

  const std::string words = Configuration::DeviceWords(parameters);
  for (const auto& row : kDataTypeWords) {
    if (words.find(row.word) != std::string::npos) {
      dataType_ = row.dataType;
      break;
    }
  }
  needReset_ = words.find("needreset") != std::string::npos;
  delayBeforeTransmission_ = parameters.get<int>("delaybeforetransmission", 0);
  return true;
}

bool CHub::Send(const std::uint8_t* data, int count, bool wake, bool framed) {
  const auto& transport = GetTransport();
  if (!transport || count <= 0) return false;
  Wait(std::chrono::milliseconds(delayBetweenWriting_));

  if (wake) {
    const auto& frame = Frame::kWakeFrame;
    QLOG(trace) << "send data: " << boost::log::dump(frame.data(), frame.size());
    if (transport->Write(Chars(frame.data()), static_cast<int>(frame.size())) == 0) return false;
    Wait(kAfterWake);
  }

  std::array<std::uint8_t, kFrameCapacity> frame;
  const std::uint8_t* bytes = data;
  std::size_t length = static_cast<std::size_t>(count);
  if (framed) {
    length = Frame::Build(data, length, frame.data(), frame.size());
    if (length == 0) {
      QLOG(error) << "send error: a payload of " << count << " bytes does not fit a frame";
      return false;
    }
    bytes = frame.data();
  }
  QLOG(trace) << "send data: " << boost::log::dump(bytes, length);
  return transport->Write(Chars(bytes), static_cast<int>(length)) > 0;
}

int CHub::ReceiveFrame(std::uint8_t* buffer, int capacity) {
  const auto& transport = GetTransport();
  if (!transport || capacity <= static_cast<int>(Frame::kHeaderSize) - 1) return 0;
  // No resynchronisation: a stray byte is consumed and the next call starts over.
  if (transport->Read(Chars(buffer), 1) != 1 || buffer[0] != Frame::kStartByte) return 0;
  if (transport->Read(Chars(buffer + 1), 3) != 3) return 0;
  const std::size_t length = Frame::DeclaredLength(buffer);
  if (Frame::CheckHeader(buffer) != Frame::HeaderCheck::kAccepted) {
    QLOG(error) << "receive error: prefix " << Frame::Word(buffer) << ", len " << length;
    return 0;
  }
  if (static_cast<std::size_t>(capacity) < length) return 0;
  const int rest = static_cast<int>(length - Frame::kHeaderSize);
  if (transport->Read(Chars(buffer + Frame::kHeaderSize), rest) != rest) return 0;

  QLOG(trace) << "received data: " << boost::log::dump(buffer, length);
  const auto checksum = Frame::CheckChecksum(buffer, length);
  if (!checksum.matches) {
    QLOG(error) << "receive error: crc read " << checksum.read << ", crc calc " << checksum.computed;
    return 0;
  }
  return static_cast<int>(length);
}

int CHub::Request(const std::uint8_t* request, int count, std::uint8_t* reply, int capacity, bool wake,
                  bool framed) {
  const auto& transport = GetTransport();
  if (!transport || count <= 0) return 0;

  // The frame as it goes out, to recognise its reply and its echo.
  std::array<std::uint8_t, kFrameCapacity> sent;
  std::size_t sentLength = static_cast<std::size_t>(count);
  if (framed) {
    sentLength = Frame::Build(request, sentLength, sent.data(), sent.size());
  } else if (sentLength < Frame::kMinLength || sentLength > sent.size()) {
    sentLength = 0;
  } else {
    std::copy(request, request + count, sent.begin());
  }
  if (sentLength == 0) {
    QLOG(error) << "send request error: a request of " << count << " bytes is no frame";
    return 0;
  }

  RequestTurn turn(*this);
  transport->Purge();
  if (!Send(sent.data(), static_cast<int>(sentLength), wake, false)) return 0;

  // A hub that keeps streaming other frames would otherwise hold the request
  // for ever: each frame arrives well within the transport's time-out.
  const auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    const int length = ReceiveFrame(reply, capacity);
    if (length == 0) return 0;
    switch (Frame::ClassifyReply(sent.data(), sentLength, reply, static_cast<std::size_t>(length))) {
      case Frame::ReplyKind::kReply:
        return length;
      case Frame::ReplyKind::kDirectAccessTimeout:
        QLOG(warning) << "send request error: direct access timeout";
        return 0;
      case Frame::ReplyKind::kForeign:
      case Frame::ReplyKind::kEcho:
        break;
    }
  }
  QLOG(error) << "send request error: no reply within " << kRequestDeadline.count() << " ms";
  return 0;
}

int CHub::RequestRetry(const std::uint8_t* request, int count, std::uint8_t* reply, int capacity, bool wake,
                       bool framed) {
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    if (const int length = Request(request, count, reply, capacity, wake, framed)) return length;
    Wait(kRetryPause);
  }
  return 0;
}

bool CHub::Open(const boost::property_tree::ptree& parameters) {
  if (!Device::CHub::Open(parameters)) return false;
  if (!CHub::Configure(parameters)) return false;
  if (needReset_) {
    const Bytes reset = Frame::Request(Frame::CommandWord(Command::kReset), 0xFFFF);
    for (int i = 0; i < Frame::Row(Command::kReset).sends; ++i)
      Send(reset.data(), static_cast<int>(reset.size()), false, true);
    Wait(kAfterReset);
  }
  SetAutoTx(false);
  SetPower(true);
  Wait(std::chrono::milliseconds(delayBeforeTransmission_));
  return true;
}

int CHub::RequestCommand(Frame::Command command, Reply& reply, bool retry) {
  const Bytes request = Frame::Request(Frame::CommandWord(command));
  const int count = static_cast<int>(request.size());
  const int capacity = static_cast<int>(reply.size());
  return retry ? RequestRetry(request.data(), count, reply.data(), capacity, false, true)
               : Request(request.data(), count, reply.data(), capacity, false, true);
}

bool CHub::RequestHubId() {
  Reply reply;
  const int length = RequestCommand(Frame::Command::kIdentify, reply);
  if (length == 0) {
    QLOG(error) << "get hub id failed";
    return false;
  }
  SetId(Frame::Text(reply.data(), static_cast<std::size_t>(length)));
  return true;
}

void CHub::CloseQuietly() noexcept {
  try {
    Close();
  } catch (...) {
  }
}

void CHub::Close() {
  StopStream();
  SetPower(false);
  StopStream();
  if (const auto& transport = GetTransport()) transport->Close();
}

void CHub::StartStream() {
  if (IsStreaming()) return;
  SetAutoTx(true);
  Device::CHub::StartStream();
}

void CHub::StopStream() {
  if (!IsStreaming()) return;
  Device::CHub::StopStream();
  SetAutoTx(false);
}

void CHub::Run() {
  const auto transport = GetTransport();
  if (!transport) return;
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    transport->Purge();
  }
  HubFrame frame;
  while (!StopRequested()) {
    {
      std::unique_lock<std::mutex> lock(readMutex_);
      if (!readTurnChanged_.wait_for(lock, kTurnWait, [this] { return requestsWaiting_.load() == 0; })) continue;
      frame.length = ReceiveFrame(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    }
    // Handed on outside the read lock: a handler may make requests itself.
    if (frame.length > 0 && HasDataHandler()) {
      OnFrame(frame);
      if (frame.length > 0) DispatchFrame(frame.bytes.data());
    }
  }
}

void CHub::SendSwitch(Command command, std::uint16_t value) {
  const Bytes payload = Frame::Request(Frame::CommandWord(command), value);
  for (int i = 0; i < Frame::Row(command).sends; ++i) Send(payload.data(), static_cast<int>(payload.size()), false, true);
}

void CHub::SwitchAutoTx(bool on) {
  QLOG(debug) << "set autotx = " << (on ? 1 : 0);
  SendSwitch(Command::kAutoTransmit, on ? Frame::kOn : Frame::kOff);
}

void CHub::SwitchPower(bool on) {
  QLOG(debug) << "set power = " << (on ? 1 : 0);
  SendSwitch(Command::kPower, on ? Frame::kOn : Frame::kOff);
}

std::shared_ptr<CSensor> CHub::SensorAt(int) { return nullptr; }

std::string CHub::GetSensorId(int busAddress) {
  const auto sensor = SensorAt(busAddress);
  return sensor ? sensor->GetId() : std::string();
}

Bytes CHub::GetSensorFlash(int busAddress) {
  const auto sensor = SensorAt(busAddress);
  return sensor ? sensor->GetFlash() : Bytes{};
}

bool CHub::SetSensorFlash(int, const Bytes&) { return false; }

}  // namespace Communication::Device::QN
