// Arbitrary bytes on the line of a hub: the frame receiver and a request
// waiting for its reply must neither crash nor hand on anything but whole,
// checked frames.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <boost/log/core/core.hpp>

#include "ByteSource.h"
#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"

namespace {

using Communication::Device::QN::Bytes;
using Communication::Device::QN::CHub;
namespace Frame = Communication::Device::QN::Frame;

void CheckFrame(const std::uint8_t* frame, int length, int capacity) {
  if (length == 0) return;
  const auto size = static_cast<std::size_t>(length);
  if (length > capacity || size < Frame::kMinLength || size > Frame::kMaxLength || size % 2 != 0) std::abort();
  if (frame[0] != Frame::kStartByte || frame[1] != Frame::kHubAddress) std::abort();
  if (Frame::DeclaredLength(frame) != size || !Frame::CheckChecksum(frame, size).matches) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Without a sink the log would go to the console, once per frame.
  boost::log::core::get()->set_logging_enabled(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks a receive buffer, small ones included.
  const int capacity = data[0] & 1 ? static_cast<int>(CHub::kFrameCapacity) : 4 + data[0];
  const Bytes line(data + 1, data + size);

  const auto source = std::make_shared<ByteSource>();
  const auto hub = std::make_shared<CHub>(source, "fuzz");
  Bytes buffer(CHub::kFrameCapacity);

  // The stream loop's view: frame after frame until the line runs dry.
  source->Feed(line);
  while (!source->Exhausted()) CheckFrame(buffer.data(), hub->ReceiveFrame(buffer.data(), capacity), capacity);

  // A request's view: the same bytes arrive as the answer to an identify.
  source->OnWrite([&line](ByteSource& bytes, const Bytes&) { bytes.Feed(line); });
  const Bytes identify = Frame::Request(0x0100);
  const int length = hub->Request(identify.data(), static_cast<int>(identify.size()), buffer.data(), capacity,
                                  false, true);
  CheckFrame(buffer.data(), length, capacity);
  if (length > 0 && buffer[5] != 0x01) std::abort();
  return 0;
}
