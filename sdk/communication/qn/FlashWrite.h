#pragma once

// What the hubs that write sensors' flash images share: the frame to a sensor
// on a hub's bus, and the checks that stand between a write and its success.

#include <cstddef>
#include <cstdint>

#include "communication/qn/Frame.h"

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

}  // namespace Communication::Device::QN::FlashWrite
