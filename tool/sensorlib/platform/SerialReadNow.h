#pragma once

// Reading bytes that already wait on a serial line without blocking: the
// connection takes them at once instead of arming its deadline for each read.

#include <cstddef>
#include <cstdint>

namespace Lumeth::Core::SensorLibrary::Platform {

// Makes reads on the port's handle return at once when nothing waits; false
// when the handle refuses.
bool makeReadsNonBlocking(int handle);

// Up to count bytes that wait on the line now; 0 when none wait or the read
// fails (a waited read then reports the failure).
std::size_t readWaitingBytes(int handle, std::uint8_t* destination, std::size_t count);

}  // namespace Lumeth::Core::SensorLibrary::Platform
