#pragma once

#include <string>

namespace Lumeth::Core::SensorLibrary::Platform {

// The device path of a port name as the tool spells it ("\\.\COM7" or "COM7"):
// the tty of that COM port. Any other name is taken as a path already.
std::string serialDevicePath(const std::string& portName);

}  // namespace Lumeth::Core::SensorLibrary::Platform
