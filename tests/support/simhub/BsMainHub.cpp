// The base-station hub: 20 sensor positions, one data format for all of them.

#include "simhub/BsMainHub.h"

#include <algorithm>

#include "simhub/Codec.h"

namespace SimHub {

namespace {

constexpr int kPositions = 20;
constexpr std::uint16_t kDataWordBase = 0x0210;  // + data type
constexpr std::uint16_t kRawCode = 1000;
constexpr std::uint16_t kQuatCode = 4321;

std::uint32_t PresentMask(const HubState& state) {
  const std::size_t present = std::min<std::size_t>(state.options.sensors.size(), kPositions);
  return present == 0 ? 0u : static_cast<std::uint32_t>((std::uint64_t{1} << present) - 1);
}

void State(Personality&, HubState& state, const Request& request, Replies& replies) {
  const std::uint32_t mask = PresentMask(state);
  const double rate = state.options.frameRateHz > 0 ? state.options.frameRateHz : 1;
  Bytes data;
  AppendWord(data, state.autoTransmit ? 0xFFFF : 0);
  AppendWord(data, state.power ? 0xFFFF : 0);
  AppendWord(data, state.formatCode);
  AppendWord(data, static_cast<std::uint16_t>(std::min<std::size_t>(state.options.sensors.size(), kPositions)));
  AppendLong(data, mask);
  AppendWord(data, static_cast<std::uint16_t>(std::min(1e6 / rate - 1, 65535.0)));
  AppendWord(data, state.counter);
  Reply(replies, request, data);
}

void Power(Personality&, HubState& state, const Request& request, Replies&) {
  if (request.data.size() >= 2) state.power = ReadWord(request.data, 0) != 0;
}

void Format(Personality&, HubState& state, const Request& request, Replies&) {
  if (request.data.size() < 2) return;
  const std::uint16_t code = ReadWord(request.data, 0);
  if (code == kRawCode || code == kQuatCode) state.formatCode = code;
}

void Reset(Personality&, HubState& state, const Request&, Replies&) {
  state.autoTransmit = false;
  state.power = false;
  state.formatCode = state.options.formatCode;
  state.counter = 0;
}

}  // namespace

const std::vector<CommandRow>& BsMainHub::Commands() const {
  static const std::vector<CommandRow> rows{
      {0x0100, Handlers::Identify},     {0x0300, State},  {0x0400, Handlers::AutoTransmit},
      {0x0401, Power},                  {0x0402, Format}, {0x0500, Handlers::ReadFlash},
      {0x0600, Handlers::WriteFlash},   {0x0800, Handlers::Ignore}, {0xFFFF, Reset},
  };
  return rows;
}

Bytes BsMainHub::DataFrame(HubState& state) {
  const std::size_t blockSize = BlockSize(state.formatCode);
  DataFrameContent content;
  content.counter = state.counter++;
  content.hubWord = static_cast<std::uint16_t>(content.counter * 3);
  content.mask = PresentMask(state);
  content.blocks.assign(blockSize * kPositions, 0);
  for (int position = 0; position < kPositions; ++position) {
    if ((content.mask >> position & 1u) == 0) continue;
    for (std::size_t k = 0; k < blockSize / 2; ++k)
      WriteWord(content.blocks, position * blockSize + 2 * k,
                SyntheticWord(content.counter, position, static_cast<int>(k)));
  }
  if (state.options.dataFrameHook) state.options.dataFrameHook(content);

  Bytes data;
  AppendWord(data, content.counter);
  AppendWord(data, content.hubWord);
  AppendLong(data, content.mask);
  data.insert(data.end(), content.blocks.begin(), content.blocks.end());
  if (data.size() % 2 != 0) data.push_back(0);
  const int dataType = DataType(state.formatCode);
  return Frame(static_cast<std::uint16_t>(kDataWordBase + std::max(dataType, 0)), data);
}

std::unique_ptr<Personality> MakeBsMainHub() { return std::make_unique<BsMainHub>(); }

}  // namespace SimHub
