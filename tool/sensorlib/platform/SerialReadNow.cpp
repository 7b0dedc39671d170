#include "platform/SerialReadNow.h"

#include <fcntl.h>
#include <unistd.h>

namespace Lumeth::Core::SensorLibrary::Platform {

bool makeReadsNonBlocking(int handle) {
  const int flags = ::fcntl(handle, F_GETFL);
  return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::size_t readWaitingBytes(int handle, std::uint8_t* destination, std::size_t count) {
  const ssize_t got = ::read(handle, destination, count);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

}  // namespace Lumeth::Core::SensorLibrary::Platform
