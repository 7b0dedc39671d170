#include "communication/qn/Cu.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <thread>

#include "common/Log.h"
#include "communication/qn/FlashWrite.h"
#include "communication/qn/SensorChannel.h"
#include "communication/qn/SlotEntry.h"

namespace Communication::Device::QN {

namespace {

using Frame::Command;

constexpr std::uint16_t kFormatCodeBase = 0x0200;  // + data type
constexpr std::uint16_t kMaxPeriodShare = 0xFFFE;
// The slot table request carries at most this many words from "cuconfig":
// the 32 entries and the one that ends them.
constexpr std::size_t kMaxConfigWords = (CCu::kMaxSlots + 1) * CCu::kSlotEntrySize / 2;

std::size_t EntryOffset(int slot) { return CCu::kSlotTableOffset + CCu::kSlotEntrySize * static_cast<std::size_t>(slot); }

// Room for every slot entry and the entry that ends them, plus the word after
// it that the slot table request and its check cover.
std::size_t TableBytes(int slotCount) { return EntryOffset(slotCount) + CCu::kSlotEntrySize + 2; }

std::uint32_t ReverseBits(std::uint32_t value) {
  std::uint32_t reversed = 0;
  for (int bit = 0; bit < 32; ++bit) reversed |= ((value >> bit) & 1u) << (31 - bit);
  return reversed;
}

SlotEntry EntryAt(Bytes& state, int slot) { return SlotEntry(state.data() + EntryOffset(slot)); }
ConstSlotEntry EntryAt(const Bytes& state, int slot) { return ConstSlotEntry(state.data() + EntryOffset(slot)); }

// Splits at spaces; each piece a hexadecimal 16-bit word.
bool ParseConfigWords(const std::string& text, std::vector<std::uint16_t>& words) {
  std::istringstream pieces(text);
  std::string piece;
  while (std::getline(pieces, piece, ' ')) {
    if (piece.empty()) continue;
    if (piece.size() > 4 || !std::all_of(piece.begin(), piece.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      QLOG(error) << "cuconfig word \"" << piece << "\" is no hexadecimal 16-bit number";
      return false;
    }
    words.push_back(static_cast<std::uint16_t>(std::stoul(piece, nullptr, 16)));
  }
  if (words.size() > kMaxConfigWords) {
    QLOG(error) << "cuconfig holds " << words.size() << " words, more than " << kMaxConfigWords << " slot words";
    return false;
  }
  return true;
}

}  // namespace

CCu::CCu(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CBsMain(std::move(transport), std::move(id)) {}

CCu::~CCu() { CloseQuietly(); }

int CCu::CountSlots(const Bytes& state) {
  int count = 0;
  while (count < kMaxSlots && EntryOffset(count) + kSlotEntrySize <= state.size() && !EntryAt(state, count).EndsTable())
    ++count;
  return count;
}

std::uint16_t CCu::PeriodShare(int period, int slot, int slotCount) {
  if (slotCount <= 0) return 0;
  const int share = period / slotCount;
  const int mine = slot == slotCount - 1 ? period - (slotCount - 1) * share : share;
  return static_cast<std::uint16_t>(std::clamp(mine, 1, static_cast<int>(kMaxPeriodShare)));
}

bool CCu::AnswersBusAddress(const Bytes& image, int busAddress) {
  if (image.size() >= kAddressWordOffset + 2 && Frame::Word(image.data() + kAddressWordOffset) == busAddress)
    return true;
  return image.size() >= kAddressLongOffset + 4 &&
         static_cast<std::int32_t>(Frame::Long(image.data() + kAddressLongOffset)) == busAddress;
}

std::uint32_t CCu::PositionMask(std::uint32_t slotMask, int slotCount) {
  const unsigned shift = static_cast<unsigned>(32 - slotCount) % 32u;
  return ReverseBits(slotMask << shift);
}

void CCu::SetAutoTx(bool on) {
  QLOG(debug) << "set autotx = " << (on ? 1 : 0);
  switchWord_ = static_cast<std::uint16_t>((switchWord_ & 0xFF00) | (on ? 0x00FF : 0x0000));
  SendSwitch(Command::kAutoTransmit, switchWord_);
}

void CCu::SetPower(bool on) {
  QLOG(debug) << "set power = " << (on ? 1 : 0);
  switchWord_ = static_cast<std::uint16_t>((switchWord_ & 0x00FF) | (on ? 0xFF00 : 0x0000));
  // Power shares the auto-transmit command: the word carries both switches.
  const Bytes payload = Frame::Request(Frame::CommandWord(Command::kAutoTransmit), switchWord_);
  Send(payload.data(), static_cast<int>(payload.size()), false, true);
}

void CCu::OnFrame(HubFrame& frame) {
  if (frame.length < static_cast<int>(DataFrame::kFirstBlockOffset + Frame::kChecksumSize)) {
    frame.length = 0;
    return;
  }
  std::uint8_t* bytes = frame.bytes.data();
  const std::uint32_t slotMask = Frame::Long(bytes + DataFrame::kHubWordOffset);
  const std::uint16_t hubWord = Frame::Word(bytes + 12);
  Frame::PutWord(bytes + DataFrame::kHubWordOffset, hubWord);
  Frame::PutLong(bytes + DataFrame::kMaskOffset, PositionMask(slotMask, slotCount_));
}

bool CCu::GetHubId() {
  if (!CBsMain::GetHubId()) return false;
  Reply reply;
  const int length = RequestCommand(Command::kReadFlash, reply);
  if (length == 0) {
    QLOG(error) << "get hub flash failed";
    return false;
  }
  hubFlash_ = Frame::Data(reply.data(), static_cast<std::size_t>(length));
  return true;
}

bool CCu::ShapeSlotTable(const std::string& cuConfig, Bytes& table) {
  if (cuConfig.empty()) {
    QLOG(info) << "configure hub by \"device\" parameter : datatype " << dataType_ << ", period " << GetPeriod();
    slotCount_ = CountSlots(table);
    QLOG(info) << "found " << slotCount_ << " hub sensors slot(s)";
    if (table.size() < TableBytes(slotCount_)) table.resize(TableBytes(slotCount_), 0);
    const DataFormat format = LookupDataFormat(static_cast<std::uint16_t>(kFormatCodeBase + dataType_));
    for (int slot = 0; slot < slotCount_; ++slot) {
      SlotEntry entry = EntryAt(table, slot);
      if (dataType_ != DataType::kNone && format.dataType != DataType::kNone)
        entry.SetFormat(static_cast<std::uint16_t>(kFormatCodeBase + dataType_), format.blockSize);
      entry.SetPeriod(PeriodShare(GetPeriod(), slot, slotCount_));
    }
  } else {
    QLOG(info) << "configure hub by \"cu_config\" parameter : " << cuConfig;
    std::vector<std::uint16_t> words;
    if (!ParseConfigWords(cuConfig, words)) return false;
    const std::size_t end = kSlotTableOffset + 2 * words.size();
    if (table.size() < end) table.resize(end, 0);
    for (std::size_t k = 0; k < words.size(); ++k) Frame::PutWord(table.data() + kSlotTableOffset + 2 * k, words[k]);
    slotCount_ = CountSlots(table);
    QLOG(info) << "found " << slotCount_ << " hub sensors slot(s)";
    if (table.size() < TableBytes(slotCount_)) table.resize(TableBytes(slotCount_), 0);
  }
  EntryAt(table, slotCount_).SetPeriod(0);
  return true;
}

bool CCu::Configure(const boost::property_tree::ptree& parameters) {
  if (!CHub::Configure(parameters)) return false;
  if (!GetHubId()) return false;
  cuConfig_ = parameters.get<std::string>("cuconfig", "");

  Bytes table = GetHubState();
  if (!ShapeSlotTable(cuConfig_, table)) return false;

  // The request is the command word, the slot entries and the entry that ends them.
  const std::size_t requestBytes = static_cast<std::size_t>(slotCount_) * kSlotEntrySize + 10;
  Frame::PutWord(table.data() + Frame::kDataOffset, Frame::CommandWord(Command::kSlotTable));
  if (!Send(table.data() + Frame::kDataOffset, static_cast<int>(requestBytes), false, true)) return false;
  std::this_thread::sleep_for(kSlotTableSettle);
  if (!GetHubId()) return false;

  // The hub reports the table it took; the entries and the one ending them must be there.
  const Bytes& state = GetHubState();
  const std::size_t compared = std::min(TableBytes(slotCount_), state.size());
  if (compared < EntryOffset(slotCount_) + kSlotEntrySize ||
      !std::equal(state.begin() + kSlotTableOffset, state.begin() + static_cast<std::ptrdiff_t>(compared),
                  table.begin() + kSlotTableOffset)) {
    QLOG(error) << "state does not matched";
    return false;
  }
  FindSensors();
  return true;
}

void CCu::FindSensors() {
  sensors_.clear();
  const Bytes state = GetHubState();
  const int slots = std::min(slotCount_, CountSlots(state));
  int dataOffset = static_cast<int>(DataFrame::kFirstBlockOffset);
  for (int slot = 0; slot < slots; ++slot) {
    const ConstSlotEntry entry = EntryAt(state, slot);
    const int offset = dataOffset;
    dataOffset += entry.BlockSize();

    SensorAnswers answers{"ExtV", {}, {}};
    if (entry.OnBus()) {
      auto found = QuerySensor(*this, CSensorChannel::OnBus(entry.BusAddress()), kFlashReadFailurePause);
      if (!found) continue;
      answers = std::move(*found);
    } else {
      QLOG(info) << "found internal \"" << answers.identity << "\" sensor";
    }
    sensors_.push_back(std::make_shared<CSensor>(answers.identity, LookupDataFormat(entry.FormatCode()).dataType,
                                                 offset, entry.BlockSize(), slot, std::move(answers.state),
                                                 std::move(answers.flash)));
  }
  QLOG(info) << sensors_.size() << " sensor(s) found";
}

std::shared_ptr<CSensor> CCu::SensorAt(int busAddress) {
  for (const auto& device : sensors_) {
    const auto sensor = std::dynamic_pointer_cast<CSensor>(device);
    if (!sensor) continue;
    if (sensor->GetFlash().empty()) {
      QLOG(error) << "flash has zero size";
      continue;
    }
    if (AnswersBusAddress(sensor->GetFlash(), busAddress)) return sensor;
  }
  QLOG(error) << "sensor " << busAddress << " not found";
  return nullptr;
}

bool CCu::SetSensorFlash(int busAddress, const Bytes& image) {
  const auto sensor = SensorAt(busAddress);
  if (!sensor || !FlashWrite::Writable(image)) return false;
  // The sensor answers at the bus address its image holds in the low byte of word 6.
  const auto channel = CSensorChannel::OnBus(sensor->GetFlash()[kAddressWordOffset]);
  StopStream();
  // Sent as a request, but no sensor promises an answer: the read-back decides.
  Reply ignored;
  channel.Request(*this, FlashWrite::Payload(image), ignored);
  const bool written = FlashWrite::ReadBack(*this, *sensor, busAddress, image, channel, kFlashWriteSettle);
  StartStream();
  return written;
}

}  // namespace Communication::Device::QN
