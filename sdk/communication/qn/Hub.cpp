#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

CHub::CHub(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : Device::CHub(std::move(id), "quenlith", std::move(transport)) {}

std::string CHub::GetSensorId(int) { return {}; }

Bytes CHub::GetSensorFlash(int) { return {}; }

bool CHub::SetSensorFlash(int, const Bytes&) { return false; }

}  // namespace Communication::Device::QN
