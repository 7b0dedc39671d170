#include "communication/qn/Stream.h"

#include "communication/qn/Dongle.h"

namespace Communication::Device::QN {

CStream::CStream(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CStream::~CStream() { CloseQuietly(); }

bool CStream::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters)) return false;
  sensors_.clear();
  sensors_.push_back(std::make_shared<CSensor>(kSensorIdentity, DataType::kStreamSensor,
                                               static_cast<int>(DataFrame::kFirstBlockOffset), kSensorDataSize, 0,
                                               Bytes{}, Bytes{}));
  StartStream();
  return true;
}

void CStream::OnFrame(HubFrame& frame) { CDongle::InsertDataHeader(frame); }

}  // namespace Communication::Device::QN
