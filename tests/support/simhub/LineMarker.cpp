#include "simhub/LineMarker.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "simhub/Codec.h"

namespace SimHub {

std::size_t LineMarker::Mark() const {
  const auto isMarker = [this](const Bytes& request) { return CommandWord(request) == word_; };
  const auto before = hub_.RequestsReceived();
  const auto count = static_cast<std::size_t>(std::count_if(before.begin(), before.end(), isMarker)) + 1;

  const int line = ::open(hub_.LinkPath().c_str(), O_RDWR | O_NOCTTY);
  if (line < 0) throw std::runtime_error("cannot open the line for a marker");
  // Raw, so that the marker's bytes go out untranslated.
  termios settings{};
  tcgetattr(line, &settings);
  cfmakeraw(&settings);
  tcsetattr(line, TCSANOW, &settings);
  const Bytes marker = Frame(word_, Bytes{0, 0});
  const bool written = ::write(line, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size());
  ::close(line);
  if (!written || !hub_.WaitForRequest(word_, std::chrono::seconds(5), count))
    throw std::runtime_error("the hub did not receive the marker");

  const auto requests = hub_.RequestsReceived();
  std::size_t seen = 0;
  for (std::size_t i = 0; i < requests.size(); ++i)
    if (isMarker(requests[i]) && ++seen == count) return i;
  throw std::runtime_error("the marker is missing");
}

}  // namespace SimHub
