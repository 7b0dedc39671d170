#pragma once

// How the hub kinds that carry sensors of their own (USB CU and dongle) reach
// one of them, and the questions each asks a sensor it finds.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// The way to one sensor: on a USB CU hub's bus in frames headed by the
// sensor's bus address, after the wake frame; on a dongle in the hub's own frames.
class CSensorChannel {
 public:
  static CSensorChannel OnBus(std::uint8_t busAddress) { return CSensorChannel(busAddress); }
  static CSensorChannel OfHub() { return CSensorChannel(std::nullopt); }

  // Sends a payload (command word and data) and waits for its reply, through
  // RequestRetry when `retry`; the reply's length, or 0.
  int Request(CHub& hub, const Bytes& payload, CHub::Reply& reply, bool retry = false) const;
  // Sends a payload and awaits nothing; whether the write went out.
  bool Send(CHub& hub, const Bytes& payload) const;

 private:
  explicit CSensorChannel(std::optional<std::uint8_t> busAddress) : busAddress_(busAddress) {}
  // What goes to the hub: a whole frame on the bus, else a payload the hub frames.
  Bytes Outgoing(const Bytes& payload) const;

  std::optional<std::uint8_t> busAddress_;
};

// What a sensor reports of itself when it is found.
struct SensorAnswers {
  std::string identity;
  Bytes state;  // empty when unanswered
  Bytes flash;  // empty when unanswered
};

// Identify, get state and read flash (up to 10 attempts), with their log
// lines; none when the identify request gets no reply. After an unanswered
// flash read it waits `flashFailurePause` before it returns.
std::optional<SensorAnswers> QuerySensor(CHub& hub, const CSensorChannel& channel,
                                         std::chrono::milliseconds flashFailurePause);

}  // namespace Communication::Device::QN
