#pragma once

#include <cstddef>

namespace Communication::Native {

// Serial line controls that the I/O library does not offer, on an open port's
// native handle.
class SerialLine {
 public:
  explicit SerialLine(int handle) : handle_(handle) {}

  // RTS low, then DTR high, the state the hubs expect before the first frame.
  // Lines that the device does not have (a pseudo-terminal) are left alone.
  void ClearRtsSetDtr() const;
  // Bytes received and not yet read; 0 when the count cannot be had.
  std::size_t InputWaiting() const;

 private:
  int handle_;
};

}  // namespace Communication::Native
