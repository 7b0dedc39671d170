#pragma once

#include <cstdint>

namespace Processing {

// Milliseconds since the library was loaded, on a steady clock, wrapping at 2^32.
std::uint32_t MillisecondsSinceLoad();

}  // namespace Processing
