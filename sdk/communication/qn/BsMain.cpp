#include "communication/qn/BsMain.h"

#include <algorithm>
#include <array>
#include <thread>

#include "common/Log.h"

namespace Communication::Device::QN {

namespace {

struct FormatCodeRow {
  int dataType;
  std::uint16_t code;
};

// The only formats this hub can be told; the others it cannot stream.
constexpr std::array<FormatCodeRow, 2> kFormatCodes{{
    {DataType::kRaw, 1000},
    {DataType::kQuat, 4321},
}};
static_assert(LookupDataFormat(kFormatCodes[0].code).dataType == DataType::kRaw);
static_assert(LookupDataFormat(kFormatCodes[1].code).dataType == DataType::kQuat);

}  // namespace

CBsMain::CBsMain(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CBsMain::~CBsMain() { CloseQuietly(); }

bool CBsMain::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters)) return false;
  std::this_thread::sleep_for(kSettleTime);
  if (!Configure(parameters)) {
    QLOG(error) << "configure hub failed";
    return false;
  }
  if (!IsStreaming()) {
    SetAutoTx(true);
    Device::CHub::StartStream();
  }
  return true;
}

void CBsMain::SetAutoTx(bool on) { SwitchAutoTx(on); }

void CBsMain::SetPower(bool on) { SwitchPower(on); }

bool CBsMain::Configure(const boost::property_tree::ptree& parameters) {
  if (!CHub::Configure(parameters)) return false;
  QLOG(info) << "configure hub by \"device\" parameter : datatype " << dataType_;
  if (dataType_ != DataType::kNone) {
    const auto row = std::find_if(kFormatCodes.begin(), kFormatCodes.end(),
                                  [this](const FormatCodeRow& candidate) { return candidate.dataType == dataType_; });
    if (row == kFormatCodes.end()) return false;
    const Bytes payload = Frame::Request(Frame::CommandWord(Frame::Command::kDataFormat), row->code);
    Send(payload.data(), static_cast<int>(payload.size()), false, true);
  }
  if (!GetHubId()) return false;
  FindSensors();
  return true;
}

bool CBsMain::GetHubId() {
  if (!RequestHubId()) return false;
  QLOG(info) << "found \"" << GetId() << "\" hub";

  Reply reply;
  const int length = RequestCommand(Frame::Command::kGetState, reply);
  if (length == 0) {
    QLOG(error) << "get hub state failed";
    return false;
  }
  hubState_ = Frame::Data(reply.data(), static_cast<std::size_t>(length));
  return true;
}

void CBsMain::FindSensors() {
  DataFormat format = kUnknownFormat;
  if (hubState_.size() >= kStateFormatOffset + 2)
    format = LookupDataFormat(Frame::Word(hubState_.data() + kStateFormatOffset));
  else
    QLOG(warning) << "hub state of " << hubState_.size() << " bytes reports no data format";

  sensors_.clear();
  for (int position = 0; position < kSensorCount; ++position)
    sensors_.push_back(std::make_shared<CSensor>(
        "DKv3", format.dataType, static_cast<int>(DataFrame::kFirstBlockOffset) + position * format.blockSize,
        format.blockSize, position, Bytes{}, Bytes{}));
}

}  // namespace Communication::Device::QN
