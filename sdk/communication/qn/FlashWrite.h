#pragma once

// What the hubs that write sensors' flash images share. No sensor promises to
// answer a write: the flash read that follows it decides.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"
#include "communication/qn/Sensor.h"
#include "communication/qn/SensorChannel.h"

namespace Communication::Device::QN::FlashWrite {

// The longest image one write frame carries.
constexpr std::size_t kMaxImageSize = Frame::kMaxLength - Frame::kOverhead - 2;
static_assert(kMaxImageSize == 16376);

// Whether an image can go out in one write frame: not empty, whole words and
// no longer than a frame carries. Logs why not.
bool Writable(const Bytes& image);

// The write command and the image.
Bytes Payload(const Bytes& image);

// Whether a read-back confirms the image: its data begin with the image. A
// longer one holds more than was written; a shorter one proves that the bytes
// past its end were not stored.
bool ReadBackConfirms(const std::uint8_t* reply, int length, const Bytes& image);

// After a write went out: waits `settle`, stops auto-transmit and reads the
// flash back (up to 10 attempts). When the read-back confirms the image, the
// sensor caches the read-back's data and the result is true; otherwise
// "sensor <busAddress> flash mismatch" is logged and the cache stays.
bool ReadBack(CHub& hub, CSensor& sensor, int busAddress, const Bytes& image, const CSensorChannel& channel,
              std::chrono::milliseconds settle);

}  // namespace Communication::Device::QN::FlashWrite
