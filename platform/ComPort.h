#pragma once

// Where a COM port lives on Linux. The SDK and the tool name serial ports by
// COM number, as their INI files and users do; port N is the USB serial
// adapter's tty ttyUSB<N>.

#include <cstdlib>
#include <string>

namespace Platform {

// The directory of the serial devices: $QUENLITH_TTY_DIR, else /dev.
inline std::string TtyDirectory() {
  const char* directory = std::getenv("QUENLITH_TTY_DIR");
  return directory && *directory ? directory : "/dev";
}

inline std::string ComPortPath(const std::string& number) { return TtyDirectory() + "/ttyUSB" + number; }

}  // namespace Platform
