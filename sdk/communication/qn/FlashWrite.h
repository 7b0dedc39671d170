#pragma once

// What the hubs that write sensors' flash images share: the frame to a sensor
// on a hub's bus, and the checks that stand between a write and its success.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"
#include "communication/qn/Sensor.h"

namespace Communication::Device::QN::FlashWrite {

// The longest image one write frame carries.
constexpr std::size_t kMaxImageSize = Frame::kMaxLength - Frame::kOverhead - 2;
static_assert(kMaxImageSize == 16376);

// A frame with the header [~address][address] instead of the hub's own: the
// payload is the command word and its data (an even number of bytes, at least 2).
Bytes AddressedFrame(std::uint8_t address, const Bytes& payload);

// Whether an image can go out in one write frame: not empty, whole words and
// no longer than a frame carries. Logs why not.
bool Writable(const Bytes& image);

// A write is acknowledged by a reply of the write command whose status word,
// if it carries one, is 0.
bool Acknowledged(const std::uint8_t* reply, int length);

// The read-back confirms a write only when it holds exactly the image.
bool ReadBackMatches(const std::uint8_t* reply, int length, const Bytes& image);

// Writes the image to the sensor's flash, waits `settle`, stops auto-transmit
// and reads the flash back; the sensor keeps the image as its own only when
// the write was acknowledged and the read-back matches (failures logged under
// `busAddress`). With `busFrameAddress` the requests go in frames addressed to
// a sensor on the hub's bus, with the wake frame; otherwise in the hub's frames.
bool WriteAndVerify(CHub& hub, CSensor& sensor, int busAddress, const Bytes& image,
                    std::optional<std::uint8_t> busFrameAddress, std::chrono::milliseconds settle);

}  // namespace Communication::Device::QN::FlashWrite
