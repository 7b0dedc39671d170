// The USB CU hub: sensors in slots on the hub's own bus, flash by bus address.

#include "simhub/CuHub.h"

#include <algorithm>

#include "simhub/Codec.h"

namespace SimHub {

namespace {

constexpr std::size_t kMaxSlots = 32;
constexpr std::size_t kStateBytes = 8 + 34 * 8;
constexpr std::size_t kEntryBytes = 8;
constexpr std::uint16_t kDataWord = 0x0220;
constexpr std::uint16_t kDirectAccessTimeout = 0x0810;
constexpr std::uint16_t kDefaultPeriod = 16665;  // us, 60 Hz shared among the slots

CuHub& Cu(Personality& kind) { return static_cast<CuHub&>(kind); }

std::uint16_t SwitchWord(const HubState& state) {
  return static_cast<std::uint16_t>((state.autoTransmit ? 0x00FF : 0) | (state.power ? 0xFF00 : 0));
}

bool IsHub(const Request& request) { return request.address == kHubAddress; }

}  // namespace

std::optional<std::uint8_t> CuHub::Address(const HubState& state, std::size_t sensor) {
  const SimSensor& s = state.options.sensors.at(sensor);
  if (s.identity.rfind("ExtV", 0) == 0) return std::nullopt;
  if (s.flash.size() >= 8) return s.flash[6];
  return static_cast<std::uint8_t>(sensor + 1);
}

std::vector<CuHub::Slot>& CuHub::Slots(const HubState& state) {
  const std::size_t count = std::min(state.options.sensors.size(), kMaxSlots);
  if (!made_ || slots_.size() != count) {
    made_ = true;
    slots_.assign(count, Slot{});
    const int dataType = std::max(DataType(state.formatCode), 0);
    for (Slot& slot : slots_) {
      slot.period = static_cast<std::uint16_t>(kDefaultPeriod / std::max<std::size_t>(count, 1));
      slot.formatCode = static_cast<std::uint16_t>(0x0200 + dataType);
      slot.blockSize = static_cast<std::uint8_t>(BlockSize(slot.formatCode));
    }
    active_ = count;
  }
  return slots_;
}

Bytes CuHub::HubStateBytes(const HubState& state) {
  const auto& slots = Slots(state);
  Bytes bytes;
  AppendWord(bytes, SwitchWord(state));
  AppendWord(bytes, static_cast<std::uint16_t>(active_));
  AppendWord(bytes, 0);
  AppendWord(bytes, 0);
  for (std::size_t i = 0; i < active_; ++i) {
    const Slot& slot = slots[i];
    bytes.push_back(static_cast<std::uint8_t>(slot.period >> 8));
    bytes.push_back(static_cast<std::uint8_t>(slot.period & 0xFF));
    const auto address = Address(state, i);
    bytes.push_back(address ? static_cast<std::uint8_t>(~*address) : 0);
    bytes.push_back(address ? *address : 0);
    AppendWord(bytes, slot.formatCode);
    bytes.push_back(0);
    bytes.push_back(slot.blockSize);
  }
  bytes.resize(kStateBytes, 0);
  return bytes;
}

std::optional<std::size_t> CuHub::FlashTarget(const HubState& state, std::uint8_t address) const {
  const std::size_t count = std::min(active_, state.options.sensors.size());
  for (std::size_t i = 0; i < count; ++i)
    if (Address(state, i) == address) return i;
  return std::nullopt;
}

std::optional<std::size_t> CuHub::BusSensor(const HubState& state, const Request& request, Replies& replies) {
  Slots(state);
  if (const auto sensor = FlashTarget(state, request.address)) return sensor;
  replies.push_back(Frame(kDirectAccessTimeout, Bytes{0, 0}));
  return std::nullopt;
}

void CuHub::Identify(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (IsHub(request)) return Handlers::Identify(kind, state, request, replies);
  if (const auto sensor = Cu(kind).BusSensor(state, request, replies)) {
    const std::string& identity = state.options.sensors[*sensor].identity;
    Bytes text(identity.begin(), identity.end());
    text.push_back(0);
    if (text.size() % 2 != 0) text.push_back(0);
    Reply(replies, request, text);
  }
}

void CuHub::State(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (IsHub(request)) return Reply(replies, request, Cu(kind).HubStateBytes(state));
  if (const auto sensor = Cu(kind).BusSensor(state, request, replies)) {
    const SimSensor& s = state.options.sensors[*sensor];
    if (!s.state.empty()) return Reply(replies, request, s.state);
    const Slot& slot = Cu(kind).slots_[*sensor];
    Bytes data;
    AppendWord(data, 0);
    AppendWord(data, slot.formatCode);
    AppendWord(data, slot.blockSize);
    AppendWord(data, 0);
    Reply(replies, request, data);
  }
}

void CuHub::Switches(Personality&, HubState& state, const Request& request, Replies&) {
  if (request.data.size() < 2) return;
  state.autoTransmit = request.data[0] == 0xFF;
  state.power = request.data[1] == 0xFF;
}

void CuHub::SlotTable(Personality& kind, HubState& state, const Request& request, Replies&) {
  auto& slots = Cu(kind).Slots(state);
  std::size_t taken = 0;
  while (taken < slots.size() && (taken + 1) * kEntryBytes <= request.data.size()) {
    const std::size_t at = taken * kEntryBytes;
    const auto period = static_cast<std::uint16_t>(request.data[at] << 8 | request.data[at + 1]);
    if (period == 0) break;
    slots[taken] = Slot{period, ReadWord(request.data, at + 4), request.data[at + 7]};
    ++taken;
  }
  Cu(kind).active_ = taken;
}

void CuHub::ReadFlash(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (IsHub(request)) {
    Bytes flash(64);
    for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(0xC0 + i);
    return Reply(replies, request, flash);
  }
  if (const auto sensor = Cu(kind).BusSensor(state, request, replies))
    Handlers::ReplyFlash(state, request, state.options.sensors[*sensor].flash, replies);
}

void CuHub::WriteFlash(Personality& kind, HubState& state, const Request& request, Replies& replies) {
  if (IsHub(request)) return;
  if (const auto sensor = Cu(kind).BusSensor(state, request, replies))
    Handlers::StoreFlash(state, state.options.sensors[*sensor], request, replies);
}

void CuHub::Reset(Personality& kind, HubState& state, const Request&, Replies&) {
  state.autoTransmit = false;
  state.power = false;
  state.counter = 0;
  Cu(kind).made_ = false;
}

const std::vector<CommandRow>& CuHub::Commands() const {
  static const std::vector<CommandRow> rows{
      {0x0100, Identify},  {0x0300, State},       {0x0400, Switches},         {0x0404, SlotTable},
      {0x0500, ReadFlash}, {0x0600, WriteFlash},  {0x0800, Handlers::Ignore}, {0xFFFF, Reset},
  };
  return rows;
}

Bytes CuHub::DataFrame(HubState& state) {
  const auto& slots = Slots(state);
  DataFrameContent content;
  content.counter = state.counter++;
  content.hubWord = static_cast<std::uint16_t>(content.counter * 3);
  content.mask = active_ == 0 ? 0u : static_cast<std::uint32_t>((std::uint64_t{1} << active_) - 1);
  for (std::size_t slot = 0; slot < active_; ++slot) {
    for (std::size_t k = 0; k < slots[slot].blockSize / 2u; ++k)
      AppendWord(content.blocks, SyntheticWord(content.counter, static_cast<int>(slot), static_cast<int>(k)));
    if (slots[slot].blockSize % 2 != 0) content.blocks.push_back(0);
  }
  if (state.options.dataFrameHook) state.options.dataFrameHook(content);

  // On the wire slot i is bit (active slots - 1 - i).
  std::uint32_t slotMask = 0;
  for (std::size_t slot = 0; slot < active_; ++slot)
    if (content.mask >> slot & 1u) slotMask |= 1u << (active_ - 1 - slot);
  Bytes data;
  AppendWord(data, content.counter);
  AppendLong(data, slotMask);
  AppendWord(data, content.hubWord);
  data.insert(data.end(), content.blocks.begin(), content.blocks.end());
  if (data.size() % 2 != 0) data.push_back(0);
  return Frame(kDataWord, data);
}

std::unique_ptr<Personality> MakeCuHub() { return std::make_unique<CuHub>(); }

}  // namespace SimHub
