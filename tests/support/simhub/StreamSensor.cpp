// A sensor streaming straight to its adapter.

#include "simhub/StreamSensor.h"

#include "simhub/Codec.h"

namespace SimHub {

namespace {

constexpr std::uint16_t kMeasurementWord = 0x0213;
constexpr std::uint16_t kStatusWord = 0x0310;
constexpr std::uint16_t kIdentityWord = 0x0110;
constexpr std::size_t kMeasurementWords = 14;  // after the counter
constexpr std::uint16_t kStatusEvery = 10;     // data frames per status frame

StreamSensor& Sensor(Personality& kind) { return static_cast<StreamSensor&>(kind); }

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  if (bytes.size() % 2 != 0) bytes.push_back(0);
  return bytes;
}

}  // namespace

Bytes StreamSensor::StatusData(const HubState& state) const {
  Bytes data;
  for (const std::uint16_t word : {static_cast<std::uint16_t>(state.autoTransmit ? 0xFFFF : 0), std::uint16_t{0},
                                   period_, std::uint16_t{0}, state.formatCode, std::uint16_t{0}, std::uint16_t{0}})
    AppendWord(data, word);
  return data;
}

void StreamSensor::Identify(Personality& kind, HubState& state, const Request&, Replies& replies) {
  if (Sensor(kind).oemConfigured_) replies.push_back(Frame(kIdentityWord, Text(kOemMcuIdentity)));
  replies.push_back(Frame(kIdentityWord, Text(state.identity)));
}

void StreamSensor::Status(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  Reply(replies, request, Sensor(kind).StatusData(state));
}

void StreamSensor::DataMode(Personality&, HubState& state, const Request& request, Replies&) {
  if (request.data.size() < 2) return;
  const std::uint16_t mode = ReadWord(request.data, 0);
  if (mode >= 1000 && mode <= 1004) state.formatCode = mode;
}

void StreamSensor::Period(Personality& kind, HubState&, const Request& request, Replies&) {
  if (request.data.size() >= 2) Sensor(kind).period_ = ReadWord(request.data, 0);
}

void StreamSensor::OemConfiguration(Personality& kind, HubState&, const Request&, Replies&) {
  Sensor(kind).oemConfigured_ = true;
}

const std::vector<CommandRow>& StreamSensor::Commands() const {
  static const std::vector<CommandRow> rows{
      {0x0100, Identify},         {0x0300, Status},           {0x0400, Handlers::AutoTransmit},
      {0x0401, DataMode},         {0x0402, Period},           {0x0404, OemConfiguration},
      {0x0500, Handlers::ReadFlash}, {0x0600, Handlers::WriteFlash}, {0x0800, Handlers::Ignore},
  };
  return rows;
}

Bytes StreamSensor::DataFrame(HubState& state) {
  DataFrameContent content;
  content.counter = state.counter++;
  for (const std::uint16_t word : {0x4000, 0, 0, 0}) AppendWord(content.blocks, word);
  for (int k = 0; k < 9; ++k) AppendWord(content.blocks, SyntheticWord(content.counter, 0, k));
  AppendWord(content.blocks, 0);
  if (state.options.dataFrameHook) state.options.dataFrameHook(content);
  content.blocks.resize(2 * kMeasurementWords, 0);

  Bytes data;
  AppendWord(data, content.counter);
  data.insert(data.end(), content.blocks.begin(), content.blocks.end());
  Bytes frames = Frame(kMeasurementWord, data);
  if ((content.counter + 1) % kStatusEvery == 0) {
    const Bytes status = Frame(kStatusWord, StatusData(state));
    frames.insert(frames.end(), status.begin(), status.end());
  }
  return frames;
}

std::unique_ptr<Personality> MakeStreamSensor() { return std::make_unique<StreamSensor>(); }

}  // namespace SimHub
