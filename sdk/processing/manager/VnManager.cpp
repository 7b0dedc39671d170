#include "processing/manager/VnManager.h"

#include <algorithm>

#include "communication/vectornav/Record.h"
#include "processing/SdkFrame.h"

namespace Processing::Manager {

using Communication::Device::Vn::Record;

CVnManager::CVnManager(std::shared_ptr<Communication::Device::CDevice> device)
    : CManager(std::move(device)), storage_(kStorageKey, sizeof(Record)) {}

bool CVnManager::Configure(const boost::property_tree::ptree&, const int*) {
  configured_.store(true);
  return true;
}

bool CVnManager::ExecuteCommand(const std::string&, void*, void*) { return true; }

bool CVnManager::Process(const void* input, void* output) {
  if (!configured_.load() || !input || !output) return true;
  const auto& in = *static_cast<const Record*>(input);
  storage_.Set(&in, sizeof in);

  auto& frame = *static_cast<SdkFrame*>(output);
  auto& record = frame.sensors[0];
  std::copy(std::begin(in.acceleration), std::end(in.acceleration), record.acceleration);
  std::copy(std::begin(in.angularRate), std::end(in.angularRate), record.angularRate);
  std::copy(std::begin(in.magneticField), std::end(in.magneticField), record.magneticField);
  // The sensor gives x, y, z, w, the order of the frame.
  std::copy(std::begin(in.quaternion), std::end(in.quaternion), record.quaternion);
  frame.frameCounter = counter_.fetch_add(1);
  frame.sensorMask = 1;
  return true;
}

}  // namespace Processing::Manager
