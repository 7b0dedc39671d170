#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "communication/Hub.h"
#include "communication/qn/Frame.h"
#include "communication/qn/Sensor.h"

namespace Communication::Device::QN {

// Base of the maker's hub kinds, which speak the framed hub protocol. A kind
// overrides what its hardware does differently: the auto-transmit and power
// switches, the normalisation of its data frames, its own Open and Configure,
// and the sensor identity and flash operations.
class CHub : public Device::CHub {
 public:
  // The receive buffers of requests and of the stream loop.
  static constexpr std::size_t kFrameCapacity = Frame::kMaxLength;
  using Reply = std::array<std::uint8_t, kFrameCapacity>;
  // Longest a request waits for its reply while other frames keep coming.
  static constexpr std::chrono::milliseconds kRequestDeadline{2000};
  static constexpr int kRequestAttempts = 10;
  static constexpr std::chrono::milliseconds kRetryPause{10};

  CHub(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id);

  void Run() override;
  bool Open(const boost::property_tree::ptree& parameters) override;
  void Close() override;
  void StartStream() override;
  void StopStream() override;

  virtual void SetAutoTx(bool on);
  virtual void SetPower(bool on);
  // Rewrites a received data frame in place into the shape the processing reads.
  virtual void OnFrame(HubFrame& frame);
  // Reads the keys common to every kind; false for a "baudrate" or
  // "frequency" that cannot serve as a divisor.
  virtual bool Configure(const boost::property_tree::ptree& parameters);
  // One checked frame at the start of buffer: its length, or 0.
  virtual int ReceiveFrame(std::uint8_t* buffer, int capacity);
  // With framed, data is a payload (command word and data) that goes out in a
  // hub frame; otherwise a frame the caller built. With wake, the wake frame
  // goes first.
  virtual bool Send(const std::uint8_t* data, int count, bool wake, bool framed);
  // Sends a request and waits for its reply; the reply's length with the frame
  // in reply, or 0. The stream thread does not read meanwhile.
  virtual int Request(const std::uint8_t* request, int count, std::uint8_t* reply, int capacity, bool wake,
                      bool framed);
  virtual int RequestRetry(const std::uint8_t* request, int count, std::uint8_t* reply, int capacity, bool wake,
                           bool framed);

  // Identity and flash image of the sensor that answers to a bus address:
  // empty where SensorAt finds none. The kinds that can write a sensor's flash
  // override SetSensorFlash.
  virtual std::string GetSensorId(int busAddress);
  virtual Bytes GetSensorFlash(int busAddress);
  virtual bool SetSensorFlash(int busAddress, const Bytes& image);

  int GetDelayBeforeTransmission() const { return delayBeforeTransmission_; }
  int GetDelayBetweenWriting() const { return delayBetweenWriting_; }
  int GetPeriod() const { return period_; }
  int GetDataType() const { return dataType_; }
  bool GetNeedReset() const { return needReset_; }

 protected:
  // The sensor that answers to a bus address, or null; the kinds that map bus
  // addresses override this.
  virtual std::shared_ptr<CSensor> SensorAt(int busAddress);

  // Sends a command without data in a hub frame (no wake frame) and waits for
  // the reply, through RequestRetry when `retry`; the reply's length, or 0.
  int RequestCommand(Frame::Command command, Reply& reply, bool retry = false);

  // Asks the hub for its identity, which becomes this hub's id; false (logged)
  // when no reply comes.
  bool RequestHubId();

  // For the kinds' destructors, which must close the hub themselves (the base
  // destructor can no longer reach a kind's overrides) and must not throw.
  void CloseQuietly() noexcept;

  // The on/off commands of the hub kinds that use the plain auto-transmit and
  // power words: logged, framed, sent as often as the command's row says, no
  // reply awaited.
  void SwitchAutoTx(bool on);
  void SwitchPower(bool on);
  // Frames the command with the given value word and sends it as often as its row says.
  void SendSwitch(Frame::Command command, std::uint16_t value);

  int dataType_ = DataType::kNone;

 private:
  class RequestTurn;

  int delayBeforeTransmission_ = 0;  // ms
  int delayBetweenWriting_ = 0;      // ms
  int period_ = 0;                   // us
  bool needReset_ = false;

  // Held by whoever reads the transport: the stream loop for one frame at a
  // time, a request for its whole exchange. The loop steps aside while a request
  // waits, so that requests are not starved.
  std::mutex readMutex_;
  std::condition_variable readTurnChanged_;
  std::atomic<int> requestsWaiting_{0};
};

}  // namespace Communication::Device::QN
