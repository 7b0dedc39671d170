// The USB dongle: a single sensor behind a USB adapter.

#include "simhub/DongleHub.h"

#include <algorithm>

#include "simhub/Codec.h"

namespace SimHub {

namespace {

constexpr std::uint16_t kDataWordBase = 0x0210;   // + data type
constexpr std::uint16_t kFormatWordBase = 1000;   // + data type, as the format command carries it

DongleHub& Dongle(Personality& kind) { return static_cast<DongleHub&>(kind); }

}  // namespace

void DongleHub::Identify(Personality&, HubState& state, const Request& request, Replies& replies) {
  // The dongle is its sensor: it answers with the sensor's identity.
  std::string identity = state.identity;
  if (state.options.identity.empty() && !state.options.sensors.empty()) identity = state.options.sensors[0].identity;
  Bytes text(identity.begin(), identity.end());
  text.push_back(0);
  if (text.size() % 2 != 0) text.push_back(0);
  Reply(replies, request, text);
}

void DongleHub::State(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (!state.options.sensors.empty() && !state.options.sensors[0].state.empty())
    return Reply(replies, request, state.options.sensors[0].state);
  Bytes data;
  AppendWord(data, state.autoTransmit ? 0xFFFF : 0);
  AppendWord(data, state.formatCode);
  AppendWord(data, Dongle(kind).period_);
  AppendWord(data, state.power ? 0xFFFF : 0);
  Reply(replies, request, data);
}

void DongleHub::Format(Personality&, HubState& state, const Request& request, Replies&) {
  if (request.data.size() < 2) return;
  const std::uint16_t word = ReadWord(request.data, 0);
  if (word >= kFormatWordBase && DataType(word) >= 0) state.formatCode = word;
}

void DongleHub::Period(Personality& kind, HubState& state, const Request& request, Replies&) {
  if (request.data.size() < 2) return;
  Dongle(kind).period_ = ReadWord(request.data, 0);
  state.options.frameRateHz = 1e6 / (Dongle(kind).period_ + 1.0);
}

void DongleHub::Poll(Personality& kind, HubState& state, const Request&, Replies& replies) {
  replies.push_back(kind.DataFrame(state));
}

void DongleHub::Reset(Personality&, HubState& state, const Request&, Replies&) {
  state.autoTransmit = false;
  state.power = false;
  state.formatCode = state.options.formatCode;
  state.counter = 0;
}

const std::vector<CommandRow>& DongleHub::Commands() const {
  static const std::vector<CommandRow> rows{
      {0x0100, Identify},          {0x0200, Poll},   {0x0201, Poll},
      {0x0202, Poll},              {0x0203, Poll},   {0x0300, State},
      {0x0400, Handlers::AutoTransmit},  {0x0401, Format}, {0x0402, Period},
      {0x0500, Handlers::ReadFlash},     {0x0600, Handlers::WriteFlash},
      {0x0800, Handlers::Ignore},  {0xFFFF, Reset},
  };
  return rows;
}

Bytes DongleHub::DataFrame(HubState& state) {
  return SingleSensorDataFrame(state, static_cast<std::uint16_t>(kDataWordBase + std::max(DataType(state.formatCode), 0)),
                               BlockSize(state.formatCode), state.options.sensors.empty() ? 0u : 1u);
}

std::unique_ptr<Personality> MakeDongleHub() { return std::make_unique<DongleHub>(); }

}  // namespace SimHub
