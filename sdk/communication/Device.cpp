#include "communication/Device.h"

#include "common/Log.h"

namespace Communication::Device {

CDevice::CDevice(std::string id, std::string vendor) : id_(std::move(id)), vendor_(std::move(vendor)) {
  QLOG(debug) << "creating device \"" << vendor_ << " : " << id_ << "\"";
}

CDevice::~CDevice() = default;

}  // namespace Communication::Device
