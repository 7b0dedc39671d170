#pragma once

// Where a COM port lives on Linux. The SDK and the tool name serial ports by
// COM number, as their INI files and users do; port N is the USB serial
// adapter's tty ttyUSB<N>.

#include <cstdlib>
#include <string>
#include <string_view>

namespace Platform {

// The directory of the serial devices: $QUENLITH_TTY_DIR, else /dev.
inline std::string TtyDirectory() {
  const char* directory = std::getenv("QUENLITH_TTY_DIR");
  return directory && *directory ? directory : "/dev";
}

inline std::string ComPortPath(const std::string& number) { return TtyDirectory() + "/ttyUSB" + number; }

// The device path of a port named "COM<n>", or "\\.\COM<n>" as Windows spells
// the device: the tty of COM port n. Any other name is taken as a path already.
inline std::string ComPortDevicePath(const std::string& portName) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  constexpr std::string_view kComPrefix = "COM";
  std::string_view name = portName;
  if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix) name.remove_prefix(kDevicePrefix.size());
  if (name.size() > kComPrefix.size() && name.substr(0, kComPrefix.size()) == kComPrefix)
    return ComPortPath(std::string(name.substr(kComPrefix.size())));
  return portName;
}

}  // namespace Platform
