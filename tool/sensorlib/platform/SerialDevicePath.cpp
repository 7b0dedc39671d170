#include "platform/SerialDevicePath.h"

#include "platform/ComPort.h"

namespace Lumeth::Core::SensorLibrary::Platform {

std::string serialDevicePath(const std::string& portName) {
  std::string name = portName;
  const std::string devicePrefix = "\\\\.\\";
  if (name.rfind(devicePrefix, 0) == 0) name.erase(0, devicePrefix.size());
  if (name.size() > 3 && name.rfind("COM", 0) == 0) return ::Platform::ComPortPath(name.substr(3));
  return portName;
}

}  // namespace Lumeth::Core::SensorLibrary::Platform
