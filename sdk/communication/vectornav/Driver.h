#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

#include "communication/platform/AutoResetEvent.h"
#include "communication/platform/ComPortFile.h"
#include "communication/vectornav/Assemblers.h"
#include "communication/vectornav/Record.h"

namespace Communication::Device::Vn {

// The VectorNav sensor's own serial driver: it opens the COM port, runs a
// reader thread that assembles and decodes what the sensor sends, and writes
// "$VN" commands and waits for their replies. Its operations return the
// result codes of Protocol.h.
//
// Threads: the host's thread connects, commands and disconnects; the reader
// thread decodes and calls the callbacks. The port lock serialises the
// reader's reads with the command writes; the reply lock guards the command
// in flight; the data lock the latest record.
class CDriver {
 public:
  // Called on the reader thread with each decoded record, which is valid only
  // during the call.
  using DataCallback = void (*)(void* user, const Record& record);
  // Called on the reader thread with the result code of a "$VNERR" message.
  using ErrorCallback = void (*)(void* user, int resultCode);

  static constexpr std::chrono::milliseconds kResponseTimeout{5000};

  CDriver() = default;
  // Disconnects.
  ~CDriver();
  CDriver(const CDriver&) = delete;
  CDriver& operator=(const CDriver&) = delete;

  // Opens the port and starts the reader. The reader holds `owner` while it
  // runs, so that whatever its callbacks reach outlives a disconnect issued
  // from inside one of them.
  int Connect(const std::string& portName, long long baudRate, std::shared_ptr<void> owner = {});
  // Stops the reader and closes the port. Called on the reader thread itself
  // (from a callback), it leaves the reader to end on its own.
  int Disconnect();
  bool IsConnected() const { return connected_.load(); }

  // Writes the command with its checksum trailer and waits for the reply.
  int SendCommand(const std::string& command);
  int WriteBinaryOutput(unsigned divisor);
  int DisableTextOutput();

  // Installs or (with null) removes the data callback. Once this returns, a
  // callback it replaced is not running any more, unless the caller is that
  // callback.
  void SetDataCallback(DataCallback callback, void* user);
  bool HasDataCallback() const;
  void SetErrorCallback(ErrorCallback callback, void* user);

  Record LatestRecord() const;

 private:
  void ReadLoop();
  void OnText(std::string_view line);
  void OnPacket(const std::uint8_t* packet, std::size_t length);
  void Deliver(const Record& record);

  std::string portName_;
  long long baudRate_ = 0;
  std::atomic<bool> connected_{false};

  Native::ComPortFile port_;
  boost::thread reader_;
  Native::AutoResetEvent readerStarted_;
  Native::AutoResetEvent replyArrived_;
  std::mutex portMutex_;
  // Command writes waiting for the port: the reader lets them go first.
  std::atomic<int> writersWaiting_{0};
  std::atomic<bool> keepRunning_{false};

  std::mutex replyMutex_;
  bool commandPending_ = false;
  std::string expectedPrefix_;
  std::string reply_;
  int result_ = 0;

  // Recursive: a host may close its device, and so remove this callback, from
  // inside the callback.
  mutable std::recursive_mutex callbackMutex_;
  DataCallback dataCallback_ = nullptr;
  void* dataUser_ = nullptr;
  ErrorCallback errorCallback_ = nullptr;
  void* errorUser_ = nullptr;

  mutable std::mutex dataMutex_;
  Record latest_{};

  // Touched by the reader thread only.
  TextAssembler text_;
  BinaryAssembler binary_;
};

}  // namespace Communication::Device::Vn
