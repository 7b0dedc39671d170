#include "communication/qn/SensorChannel.h"

#include <thread>

#include "common/Log.h"

namespace Communication::Device::QN {

Bytes CSensorChannel::Outgoing(const Bytes& payload) const {
  return busAddress_ ? Frame::Build(payload, *busAddress_) : payload;
}

int CSensorChannel::Request(CHub& hub, const Bytes& payload, CHub::Reply& reply, bool retry) const {
  const Bytes request = Outgoing(payload);
  const bool onBus = busAddress_.has_value();
  const int count = static_cast<int>(request.size());
  const int capacity = static_cast<int>(reply.size());
  return retry ? hub.RequestRetry(request.data(), count, reply.data(), capacity, onBus, !onBus)
               : hub.Request(request.data(), count, reply.data(), capacity, onBus, !onBus);
}

bool CSensorChannel::Send(CHub& hub, const Bytes& payload) const {
  const Bytes message = Outgoing(payload);
  const bool onBus = busAddress_.has_value();
  return hub.Send(message.data(), static_cast<int>(message.size()), onBus, !onBus);
}

std::optional<SensorAnswers> QuerySensor(CHub& hub, const CSensorChannel& channel,
                                         std::chrono::milliseconds flashFailurePause) {
  using Frame::Command;
  const auto ask = [&](Command command, CHub::Reply& reply, bool retry) {
    return channel.Request(hub, Frame::Request(Frame::CommandWord(command)), reply, retry);
  };
  CHub::Reply reply;
  int length = ask(Command::kIdentify, reply, false);
  if (length == 0) return std::nullopt;
  SensorAnswers answers;
  answers.identity = Frame::Text(reply.data(), static_cast<std::size_t>(length));
  QLOG(info) << "found \"" << answers.identity << "\" sensor";

  length = ask(Command::kGetState, reply, false);
  if (length == 0)
    QLOG(warning) << "cann't get sensor state";
  else
    answers.state = Frame::Data(reply.data(), static_cast<std::size_t>(length));

  length = ask(Command::kReadFlash, reply, true);
  if (length == 0) {
    QLOG(warning) << "cann't get sensor flash";
    if (flashFailurePause.count() > 0) std::this_thread::sleep_for(flashFailurePause);
  } else {
    answers.flash = Frame::Data(reply.data(), static_cast<std::size_t>(length));
  }
  return answers;
}

}  // namespace Communication::Device::QN
