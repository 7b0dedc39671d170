#include "processing/manager/MemsenseManager.h"

#include "common/LittleEndian.h"
#include "processing/SdkFrame.h"

namespace Processing::Manager {

namespace {

// Packet offsets of the three-float groups and of the three words passed through.
constexpr std::size_t kAcceleration = 6;
constexpr std::size_t kAngularRate = 20;
constexpr std::size_t kMagneticField = 34;
constexpr std::size_t kWords = 48;

}  // namespace

bool CMemsenseManager::Configure(const boost::property_tree::ptree&, const int*) {
  configured_.store(true);
  return true;
}

bool CMemsenseManager::ExecuteCommand(const std::string&, void*, void*) { return true; }

bool CMemsenseManager::Process(const void* input, void* output) {
  if (!configured_.load() || !input || !output) return true;
  const auto* in = static_cast<const std::uint8_t*>(input);
  auto& frame = *static_cast<SdkFrame*>(output);
  auto& record = frame.sensors[0];
  for (std::size_t axis = 0; axis < 3; ++axis) {
    record.acceleration[axis] = LittleEndian::F32(in + kAcceleration + 4 * axis);
    record.angularRate[axis] = LittleEndian::F32(in + kAngularRate + 4 * axis);
    record.magneticField[axis] = LittleEndian::F32(in + kMagneticField + 4 * axis);
    record.words[axis] = LittleEndian::U32(in + kWords + 4 * axis);
  }
  record.quaternion[3] = 0.0;
  frame.frameCounter = counter_.fetch_add(1);
  frame.sensorMask = 1;
  return true;
}

}  // namespace Processing::Manager
