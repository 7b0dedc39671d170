#include "communication/qn/Dummy.h"

namespace Communication::Device::QN {

CDummy::CDummy(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

void CDummy::Run() {}

bool CDummy::Open(const boost::property_tree::ptree&) {
  sensors_.clear();
  for (int position = 0; position < kSensorCount; ++position)
    sensors_.push_back(std::make_shared<CSensor>(
        "DKv3", DataType::kRaw, static_cast<int>(DataFrame::kFirstBlockOffset) + kSensorDataSize * position,
        kSensorDataSize, position, Bytes{}, Bytes{}));
  return true;
}

void CDummy::Close() {}

void CDummy::StartStream() {}

void CDummy::StopStream() {}

}  // namespace Communication::Device::QN
