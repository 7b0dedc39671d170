#include "processing/attitude/TimeStamp.h"

#include <chrono>

namespace Processing {

namespace {
// Initialised while the library loads.
const std::chrono::steady_clock::time_point g_loaded = std::chrono::steady_clock::now();
}  // namespace

std::uint32_t MillisecondsSinceLoad() {
  const auto elapsed = std::chrono::steady_clock::now() - g_loaded;
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace Processing
