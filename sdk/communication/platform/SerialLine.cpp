// Linux: the modem lines and the input queue are reached through ioctl on the
// tty, where Windows has EscapeCommFunction and ClearCommError.

#include "communication/platform/SerialLine.h"

#include <sys/ioctl.h>

namespace Communication::Native {

void SerialLine::ClearRtsSetDtr() const {
  int rts = TIOCM_RTS;
  int dtr = TIOCM_DTR;
  // A failure here only means the device has no such line.
  (void)::ioctl(handle_, TIOCMBIC, &rts);
  (void)::ioctl(handle_, TIOCMBIS, &dtr);
}

std::size_t SerialLine::InputWaiting() const {
  int waiting = 0;
  if (::ioctl(handle_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<std::size_t>(waiting);
}

}  // namespace Communication::Native
