#include "communication/qn/Dongle.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/Log.h"
#include "communication/qn/FlashWrite.h"
#include "communication/qn/SensorChannel.h"

namespace Communication::Device::QN {

namespace {

using Frame::Command;

constexpr std::uint16_t kFormatCodeBase = 0x0200;   // + data type
constexpr std::uint16_t kFormatWordBase = 1000;     // + data type, as the format command carries it
constexpr int kMaxHardwarePeriod = 0xFFFF;          // us; longer periods are polled
constexpr std::size_t kStateFormatOffset = 2;
// What the header insertion moves the sensor block by.
constexpr std::size_t kInsertedBytes = DataFrame::kFirstBlockOffset - DataFrame::kHubWordOffset;
static_assert(kInsertedBytes == 6);

}  // namespace

CDongle::CDongle(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CDongle::~CDongle() { CloseQuietly(); }

bool CDongle::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters)) return false;
  if (!Configure(parameters)) {
    QLOG(error) << "configure hub failed";
    return false;
  }
  StartStream();
  return true;
}

bool CDongle::Configure(const boost::property_tree::ptree& parameters) {
  if (!CHub::Configure(parameters)) return false;
  QLOG(info) << "configure hub by \"device\" parameter : datatype " << dataType_ << ", period " << GetPeriod();
  ApplyFormatAndPeriod();
  FindSensor();
  return true;
}

void CDongle::ApplyFormatAndPeriod() {
  if (dataType_ != DataType::kNone) {
    formatCode_ = static_cast<std::uint16_t>(kFormatCodeBase + dataType_);
    const Bytes format = Frame::Request(Frame::CommandWord(Command::kDongleFormat),
                                        static_cast<std::uint16_t>(kFormatWordBase + dataType_));
    Send(format.data(), static_cast<int>(format.size()), false, true);
  }
  if (GetPeriod() < kMaxHardwarePeriod) {
    const Bytes period =
        Frame::Request(Frame::CommandWord(Command::kDonglePeriod), static_cast<std::uint16_t>(GetPeriod()));
    Send(period.data(), static_cast<int>(period.size()), false, true);
  } else {
    QLOG(info) << "software stream enabled";
    softwareStream_ = true;
  }
}

void CDongle::FindSensor() {
  sensors_.clear();
  auto answers = QuerySensor(*this, CSensorChannel::OfHub(), std::chrono::milliseconds(0));
  if (!answers) return;

  // Without a state there is no format to map: the sensor streams nothing
  // that processing could read.
  const Bytes& state = answers->state;
  DataFormat format = kUnknownFormat;
  if (state.size() >= kStateFormatOffset + 2)
    format = LookupDataFormat(Frame::Word(state.data() + kStateFormatOffset));
  else
    QLOG(warning) << "sensor state of " << state.size() << " bytes reports no data format";
  if (dataType_ == DataType::kNone && format.dataType >= DataType::kRaw && format.dataType <= DataType::kQuatCalibrated)
    formatCode_ = static_cast<std::uint16_t>(kFormatCodeBase + format.dataType);

  sensors_.push_back(std::make_shared<CSensor>(answers->identity, format.dataType,
                                               static_cast<int>(DataFrame::kFirstBlockOffset), format.blockSize, 0,
                                               std::move(answers->state), std::move(answers->flash)));
}

void CDongle::SetAutoTx(bool on) {
  if (on && softwareStream_) {
    // Polled frames need no auto-transmit.
    QLOG(debug) << "set autotx = 1";
    return;
  }
  SwitchAutoTx(on);
}

void CDongle::InsertDataHeader(HubFrame& frame) {
  const auto length = static_cast<std::size_t>(std::max(frame.length, 0));
  if (length < DataFrame::kHubWordOffset + Frame::kChecksumSize) {
    frame.length = 0;
    return;
  }
  if (length + kInsertedBytes > frame.bytes.size()) {
    QLOG(error) << "receive error: data frame of " << length << " bytes has no room for its header: dropped";
    frame.length = 0;
    return;
  }
  std::uint8_t* bytes = frame.bytes.data();
  std::memmove(bytes + DataFrame::kFirstBlockOffset, bytes + DataFrame::kHubWordOffset,
               length - DataFrame::kHubWordOffset);
  frame.length = static_cast<int>(length + kInsertedBytes);
  Frame::PutWord(bytes + Frame::kLengthOffset, static_cast<std::uint16_t>(frame.length));
  Frame::PutWord(bytes + DataFrame::kHubWordOffset, 0);
  Frame::PutWord(bytes + DataFrame::kMaskOffset, 1);
  Frame::PutWord(bytes + DataFrame::kMaskOffset + 2, 0);
}

void CDongle::OnFrame(HubFrame& frame) { InsertDataHeader(frame); }

void CDongle::Run() {
  if (!softwareStream_) {
    CHub::Run();
    return;
  }
  const auto transport = GetTransport();
  if (!transport) return;
  transport->Purge();
  // The poll command is the format code itself: 0x0200 + data type.
  const Bytes poll = Frame::Request(formatCode_);
  HubFrame frame;
  const auto period = std::chrono::microseconds(GetPeriod());
  while (!StopRequested()) {
    const auto start = std::chrono::steady_clock::now();
    frame.length = Request(poll.data(), static_cast<int>(poll.size()), frame.bytes.data(),
                           static_cast<int>(frame.bytes.size()), false, true);
    if (frame.length == 0) frame.length = ReceiveFrame(frame.bytes.data(), static_cast<int>(frame.bytes.size()));
    if (frame.length > 0 && HasDataHandler()) {
      OnFrame(frame);
      if (frame.length > 0) DispatchFrame(frame.bytes.data());
    }
    // Sliced, so that a stop does not wait a whole period of up to a second.
    const auto due = start + period;
    while (!StopRequested() && std::chrono::steady_clock::now() + std::chrono::milliseconds(1) <= due)
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - std::chrono::steady_clock::now(),
                                                                                 std::chrono::milliseconds(20)));
  }
}

std::shared_ptr<CSensor> CDongle::SensorAt(int busAddress) {
  if (busAddress == kBusAddress && !sensors_.empty())
    if (auto sensor = std::dynamic_pointer_cast<CSensor>(sensors_.front())) return sensor;
  QLOG(error) << "sensor " << busAddress << " not found";
  return nullptr;
}

bool CDongle::SetSensorFlash(int busAddress, const Bytes& image) {
  const auto sensor = SensorAt(busAddress);
  if (!sensor) return false;
  if (sensor->GetFlash().empty()) {
    QLOG(error) << "flash has zero size";
    return false;
  }
  if (!FlashWrite::Writable(image)) return false;
  const auto channel = CSensorChannel::OfHub();
  StopStream();
  // Nothing answers the write; only a write that did not go out fails early.
  bool written = channel.Send(*this, FlashWrite::Payload(image));
  if (!written)
    QLOG(error) << "sensor " << kBusAddress << " flash write not sent";
  else
    written = FlashWrite::ReadBack(*this, *sensor, kBusAddress, image, channel, kFlashWriteSettle);
  if (written) ApplyFormatAndPeriod();
  StartStream();
  return written;
}

}  // namespace Communication::Device::QN
