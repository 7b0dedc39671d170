// Requests that more than one kind of hub answers alike.

#include "simhub/Codec.h"
#include "simhub/Faults.h"
#include "simhub/Personality.h"

namespace SimHub {

namespace {

struct FormatRow {
  std::uint16_t code;
  int dataType;
  std::size_t blockSize;  // bytes per sensor in a data frame
};

constexpr std::array<FormatRow, 15> kFormats{{
    {0, 0, 20},      {0x0200, 0, 20}, {0x0210, 0, 20}, {1000, 0, 20},
    {0x0201, 1, 10}, {0x0211, 1, 10}, {1001, 1, 10},   {4321, 1, 10},
    {0x0202, 2, 20}, {0x0212, 2, 20}, {1002, 2, 20},
    {0x0203, 3, 30}, {0x0213, 3, 30}, {1003, 3, 30},   {0xFFFF, -1, 0},
}};
static_assert(kFormats.back().code == 0xFFFF && kFormats.back().dataType == -1, "last row stands for unknown codes");

const FormatRow& FormatOf(std::uint16_t code) {
  for (const FormatRow& row : kFormats)
    if (row.code == code) return row;
  return kFormats.back();
}

// Payloads are whole words, so an odd image goes out with a zero byte after it.
Bytes EvenPayload(Bytes bytes) {
  if (bytes.size() % 2 != 0) bytes.push_back(0);
  return bytes;
}

}  // namespace

Bytes SingleSensorDataFrame(HubState& state, std::uint16_t commandWord, std::size_t blockSize, std::uint32_t mask) {
  DataFrameContent content;
  content.counter = state.counter++;
  content.mask = mask;
  for (std::size_t k = 0; k < blockSize / 2; ++k)
    AppendWord(content.blocks, SyntheticWord(content.counter, 0, static_cast<int>(k)));
  if (state.options.dataFrameHook) state.options.dataFrameHook(content);

  Bytes data;
  AppendWord(data, content.counter);
  data.insert(data.end(), content.blocks.begin(), content.blocks.end());
  if (data.size() % 2 != 0) data.push_back(0);
  return Frame(commandWord, data);
}

void Reply(Replies& replies, const Request& request, const Bytes& data) {
  replies.push_back(Frame(ReplyWord(request.word), data, kHubAddress));
}

std::size_t Personality::BlockSize(std::uint16_t formatCode) { return FormatOf(formatCode).blockSize; }

int Personality::DataType(std::uint16_t formatCode) { return FormatOf(formatCode).dataType; }

std::optional<std::size_t> Personality::FlashTarget(const HubState& state, std::uint8_t address) const {
  if (address != kHubAddress || state.options.sensors.empty()) return std::nullopt;
  return 0;
}

namespace Handlers {

void Ignore(Personality&, HubState&, const Request&, Replies&) {}

void Identify(Personality&, HubState& state, const Request& request, Replies& replies) {
  Bytes text(state.identity.begin(), state.identity.end());
  text.push_back(0);
  Reply(replies, request, EvenPayload(std::move(text)));
}

void ReadFlash(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (const auto sensor = kind.FlashTarget(state, request.address))
    ReplyFlash(state, request, state.options.sensors[*sensor].flash, replies);
}

void WriteFlash(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (const auto sensor = kind.FlashTarget(state, request.address))
    StoreFlash(state, state.options.sensors[*sensor], request, replies);
}

void ReplyFlash(HubState& state, const Request& request, const Bytes& image, Replies& replies) {
  Bytes data = EvenPayload(image);
  switch (state.flashFaults.TakeRead()) {
    case Fault::ShortFlashRead:
      data.resize(data.size() >= 2 ? data.size() - 2 : 0);
      break;
    case Fault::LongFlashRead:
      data.push_back(0);
      data.push_back(0);
      break;
    default:
      break;
  }
  Reply(replies, request, data);
}

void StoreFlash(HubState& state, SimSensor& sensor, const Request& request, Replies& replies) {
  const Fault fault = state.flashFaults.TakeWrite();
  const bool refused = fault == Fault::WriteRefused;
  if (!refused) sensor.flash = request.data;
  if (state.options.acknowledgesWrites) Reply(replies, request, Bytes{refused ? std::uint8_t{1} : std::uint8_t{0}, 0});
  if (fault == Fault::GarbageAfterWrite) replies.push_back(GarbageBytes());
  if (fault == Fault::DropLineAfterWrite) state.dropLine = true;
}

void AutoTransmit(Personality&, HubState& state, const Request& request, Replies&) {
  // The low byte carries auto-transmit (the USB CU hub keeps power in the high byte).
  if (request.data.size() >= 2) state.autoTransmit = request.data[0] == 0xFF;
}

}  // namespace Handlers

void FlashFaults::Add(Fault fault, int count) {
  if (IsFlashWriteFault(fault)) {
    write = fault;
    writes = count;
  } else {
    read = fault;
    reads = count;
  }
}

Fault FlashFaults::TakeWrite() {
  if (writes <= 0) return Fault::None;
  --writes;
  return write;
}

Fault FlashFaults::TakeRead() {
  if (reads <= 0) return Fault::None;
  --reads;
  return read;
}

}  // namespace SimHub
