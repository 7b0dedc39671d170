#include "communication/vectornav/Driver.h"

#include <array>
#include <climits>
#include <thread>

#include "communication/vectornav/BinaryPacket.h"
#include "communication/vectornav/Protocol.h"
#include "communication/vectornav/TextMessage.h"

namespace Communication::Device::Vn {

namespace {

// Every command the SDK sends writes a register, answered by its echo.
constexpr std::string_view kReplyPrefix = "VNWRG,";
constexpr std::size_t kReadChunk = 256;
constexpr auto kIdlePause = std::chrono::milliseconds(5);

struct ErrorRow {
  std::errc error;
  int result;
};

constexpr std::array<ErrorRow, 7> kErrorResults{{
    {std::errc::no_such_file_or_directory, Result::kPortNotFound},
    {std::errc::no_such_device, Result::kPortNotFound},
    {std::errc::permission_denied, Result::kAccessDenied},
    {std::errc::operation_not_permitted, Result::kAccessDenied},
    // Another program holds the port.
    {std::errc::device_or_resource_busy, Result::kAccessDenied},
    {std::errc::invalid_argument, Result::kInvalidParameter},
    {std::errc::timed_out, Result::kTimeout},
}};

int ResultOf(const std::error_code& error) {
  for (const auto& row : kErrorResults)
    if (error == row.error) return row.result;
  return Result::kFailure;
}

}  // namespace

CDriver::~CDriver() {
  Disconnect();
  // Left over from a disconnect on the reader thread itself.
  if (reader_.joinable()) reader_.detach();
}

int CDriver::Connect(const std::string& portName, long long baudRate, std::shared_ptr<void> owner) {
  if (connected_.load()) return Result::kFailure;
  if (baudRate <= 0 || baudRate > UINT_MAX) return Result::kInvalidParameter;
  portName_ = portName;
  baudRate_ = baudRate;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    latest_ = Record{};
  }
  if (const auto error = port_.Open(portName_, static_cast<unsigned>(baudRate_))) return ResultOf(error);

  text_ = TextAssembler{};
  binary_ = BinaryAssembler{};
  keepRunning_.store(true);
  try {
    reader_ = boost::thread([this, owner = std::move(owner)]() mutable {
      ReadLoop();
      // Possibly the last hold on this driver's owner: nothing of this object
      // is touched after it.
      owner.reset();
    });
  } catch (const boost::thread_resource_error&) {
    keepRunning_.store(false);
    port_.Close();
    return Result::kFailure;
  }
  readerStarted_.Wait();
  connected_.store(true);
  return Result::kSuccess;
}

int CDriver::Disconnect() {
  if (!connected_.exchange(false)) return Result::kNotConnected;
  keepRunning_.store(false);
  if (reader_.get_id() == boost::this_thread::get_id())
    reader_.detach();
  else if (reader_.joinable())
    reader_.join();
  std::lock_guard<std::mutex> lock(portMutex_);
  port_.Close();
  return Result::kSuccess;
}

int CDriver::SendCommand(const std::string& command) {
  if (!connected_.load()) return Result::kNotConnected;
  const std::string line = command + Trailer(command);
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    result_ = Result::kSuccess;
    commandPending_ = true;
    expectedPrefix_ = kReplyPrefix;
    reply_.clear();
    // A reply that came after an earlier command gave up answers nothing.
    replyArrived_.Reset();
  }
  std::error_code error;
  {
    ++writersWaiting_;
    std::lock_guard<std::mutex> lock(portMutex_);
    --writersWaiting_;
    error = port_.Write(line.data(), line.size());
  }
  if (!error && replyArrived_.WaitFor(kResponseTimeout)) {
    std::lock_guard<std::mutex> lock(replyMutex_);
    return result_;
  }
  std::lock_guard<std::mutex> lock(replyMutex_);
  commandPending_ = false;
  return error ? ResultOf(error) : Result::kTimeout;
}

int CDriver::WriteBinaryOutput(unsigned divisor) { return SendCommand(BinaryOutputCommand(divisor)); }

int CDriver::DisableTextOutput() { return SendCommand(TextOutputOffCommand()); }

void CDriver::SetDataCallback(DataCallback callback, void* user) {
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  dataCallback_ = callback;
  dataUser_ = callback ? user : nullptr;
}

bool CDriver::HasDataCallback() const {
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  return dataCallback_ != nullptr;
}

void CDriver::SetErrorCallback(ErrorCallback callback, void* user) {
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  errorCallback_ = callback;
  errorUser_ = callback ? user : nullptr;
}

Record CDriver::LatestRecord() const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  return latest_;
}

void CDriver::ReadLoop() {
  readerStarted_.Set();
  std::array<std::uint8_t, kReadChunk> buffer;
  while (keepRunning_.load()) {
    while (writersWaiting_.load() > 0 && keepRunning_.load()) std::this_thread::yield();
    std::size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(portMutex_);
      if (!keepRunning_.load()) break;
      count = port_.Read(buffer.data(), buffer.size());
    }
    if (count == 0) {
      std::this_thread::sleep_for(kIdlePause);
      continue;
    }
    // A callback may disconnect; the rest of the chunk is then left alone.
    for (std::size_t i = 0; i < count && keepRunning_.load(); ++i) {
      if (text_.Push(buffer[i])) OnText(text_.Message());
      if (binary_.Push(buffer[i])) OnPacket(binary_.Packet(), binary_.Length());
    }
  }
}

void CDriver::OnText(std::string_view line) {
  const auto message = Text::Parse(line);
  if (!message) return;

  if (const auto number = Text::ErrorNumber(*message)) {
    const int code = *number + Result::kSensorErrorBase;
    {
      std::lock_guard<std::mutex> lock(replyMutex_);
      // An error with no command waiting answers nothing.
      if (commandPending_) {
        commandPending_ = false;
        result_ = code;
        replyArrived_.Set();
      }
    }
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    if (errorCallback_) errorCallback_(errorUser_, code);
    return;
  }

  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    if (commandPending_) {
      // Data outputs that overtake the reply are not delivered meanwhile.
      if (message->body.substr(0, expectedPrefix_.size()) == expectedPrefix_) {
        commandPending_ = false;
        reply_ = line;
        replyArrived_.Set();
      }
      return;
    }
  }
  Record record;
  if (Text::Decode(*message, record)) Deliver(record);
}

void CDriver::OnPacket(const std::uint8_t* packet, std::size_t length) {
  Record record;
  if (Binary::Decode(packet, length, record)) Deliver(record);
}

void CDriver::Deliver(const Record& record) {
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    latest_ = record;
  }
  std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
  if (dataCallback_) dataCallback_(dataUser_, record);
}

}  // namespace Communication::Device::Vn
