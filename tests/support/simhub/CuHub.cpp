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

Bytes& CuHub::Table(const HubState& state) {
  const std::size_t count = std::min(state.options.sensors.size(), kMaxSlots);
  if (table_.empty() || slots_ != count) {
    slots_ = count;
    table_.assign(kStateBytes - 8, 0);
    const auto code = static_cast<std::uint16_t>(0x0200 + std::max(DataType(state.formatCode), 0));
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* entry = table_.data() + 8 * i;
      const auto period = static_cast<std::uint16_t>(kDefaultPeriod / count);
      entry[0] = static_cast<std::uint8_t>(period >> 8);
      entry[1] = static_cast<std::uint8_t>(period & 0xFF);
      const auto address = Address(state, i);
      entry[2] = address ? static_cast<std::uint8_t>(~*address) : 0;
      entry[3] = address ? *address : 0;
      entry[4] = static_cast<std::uint8_t>(code & 0xFF);
      entry[5] = static_cast<std::uint8_t>(code >> 8);
      entry[7] = static_cast<std::uint8_t>(BlockSize(code));
    }
  }
  return table_;
}

std::size_t CuHub::ActiveSlots(const HubState& state) {
  Table(state);
  std::size_t active = 0;
  while (active < slots_ && (Entry(active)[0] | Entry(active)[1]) != 0) ++active;
  return active;
}

Bytes CuHub::HubStateBytes(const HubState& state) {
  const Bytes& table = Table(state);
  Bytes bytes;
  AppendWord(bytes, SwitchWord(state));
  AppendWord(bytes, static_cast<std::uint16_t>(ActiveSlots(state)));
  AppendWord(bytes, 0);
  AppendWord(bytes, 0);
  bytes.insert(bytes.end(), table.begin(), table.end());
  return bytes;
}

std::optional<std::size_t> CuHub::FlashTarget(const HubState& state, std::uint8_t address) const {
  const std::size_t count = state.options.sensors.size();
  for (std::size_t i = 0; i < count; ++i)
    if (Address(state, i) == address) return i;
  return std::nullopt;
}

std::optional<std::size_t> CuHub::BusSensor(const HubState& state, const Request& request, Replies& replies) {
  const auto sensor = FlashTarget(state, request.address);
  if (sensor && !state.options.sensors[*sensor].identity.empty()) return sensor;
  if (state.options.directAccessTimeout) replies.push_back(Frame(kDirectAccessTimeout, Bytes{0, 0}));
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
    const std::uint8_t* entry = Cu(kind).Table(state).data() + 8 * std::min(*sensor, kMaxSlots - 1);
    Bytes data;
    AppendWord(data, 0);
    AppendWord(data, static_cast<std::uint16_t>(entry[4] | entry[5] << 8));
    AppendWord(data, entry[7]);
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
  // The hub keeps the entries as sent, up to its own number of slots, and
  // the entry that ends them; a longer table is cut after its last slot.
  CuHub& cu = Cu(kind);
  Bytes& table = cu.Table(state);
  const std::size_t sent = request.data.size() / kEntryBytes;
  std::size_t taken = 0;
  while (taken < sent && taken <= cu.slots_) {
    const std::uint8_t* entry = request.data.data() + taken * kEntryBytes;
    const bool ends = (entry[0] | entry[1]) == 0;
    if (taken == cu.slots_ && !ends) {
      std::fill(table.begin() + static_cast<std::ptrdiff_t>(taken * kEntryBytes),
                table.begin() + static_cast<std::ptrdiff_t>((taken + 1) * kEntryBytes), 0);
      break;
    }
    std::copy(entry, entry + kEntryBytes, table.begin() + static_cast<std::ptrdiff_t>(taken * kEntryBytes));
    ++taken;
    if (ends) break;
  }
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
  Cu(kind).table_.clear();
}

const std::vector<CommandRow>& CuHub::Commands() const {
  static const std::vector<CommandRow> rows{
      {0x0100, Identify},  {0x0300, State},       {0x0400, Switches},         {0x0404, SlotTable},
      {0x0500, ReadFlash}, {0x0600, WriteFlash},  {0x0800, Handlers::Ignore}, {0xFFFF, Reset},
  };
  return rows;
}

Bytes CuHub::DataFrame(HubState& state) {
  const std::size_t active = ActiveSlots(state);
  DataFrameContent content;
  content.counter = state.counter++;
  content.hubWord = static_cast<std::uint16_t>(content.counter * 3);
  content.mask = active == 0 ? 0u : static_cast<std::uint32_t>((std::uint64_t{1} << active) - 1);
  for (std::size_t slot = 0; slot < active; ++slot) {
    const std::size_t blockSize = Entry(slot)[7];
    for (std::size_t k = 0; k < blockSize / 2; ++k)
      AppendWord(content.blocks, SyntheticWord(content.counter, static_cast<int>(slot), static_cast<int>(k)));
    if (blockSize % 2 != 0) content.blocks.push_back(0);
  }
  if (state.options.dataFrameHook) state.options.dataFrameHook(content);

  // On the wire slot i is bit (active slots - 1 - i).
  std::uint32_t slotMask = 0;
  for (std::size_t slot = 0; slot < active; ++slot)
    if (content.mask >> slot & 1u) slotMask |= 1u << (active - 1 - slot);
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
