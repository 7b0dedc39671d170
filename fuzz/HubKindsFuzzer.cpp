// Arbitrary bytes where the USB CU, dongle and SDK-frame hubs meet untrusted
// input: hub states, cached flash images, data frames to rewrite, replies to
// a flash write and the SDK-frame hub's line. Nothing may read or write out
// of bounds, and what comes out must keep the shapes the rules promise.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <boost/log/core/core.hpp>

#include "ByteSource.h"
#include "communication/qn/Cu.h"
#include "communication/qn/Dongle.h"
#include "communication/qn/FlashWrite.h"
#include "communication/qn/QnSdk.h"

namespace {

using Communication::Device::QN::Bytes;
using Communication::Device::QN::CCu;
using Communication::Device::QN::CDongle;
using Communication::Device::QN::CQnSdk;
using Communication::Device::QN::HubFrame;
namespace FlashWrite = Communication::Device::QN::FlashWrite;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  boost::log::core::get()->set_logging_enabled(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t selector = data[0];
  const std::uint8_t parameter = data[1];
  const Bytes bytes(data + 2, data + size);

  // The slot table of any hub state stays within the state and 32 slots.
  const int slots = CCu::CountSlots(bytes);
  if (slots < 0 || slots > CCu::kMaxSlots || (slots > 0 && 8u + 8u * static_cast<std::size_t>(slots) > bytes.size()))
    std::abort();

  // Any image and address: the words looked at lie inside the image.
  const int address = static_cast<std::int8_t>(parameter);
  if (CCu::AnswersBusAddress(bytes, address) && bytes.size() < 8) std::abort();

  // A mask of slots becomes one of as many positions.
  if (bytes.size() >= 4) {
    std::uint32_t mask = 0;
    std::memcpy(&mask, bytes.data(), 4);
    const int count = parameter % 33;
    const std::uint32_t positions = CCu::PositionMask(mask, count);
    if (count > 0 && count < 32 && (positions >> count) != 0) std::abort();
  }

  // The dongle's header insertion on a frame of any length in a full buffer.
  HubFrame frame;
  frame.bytes.fill(0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), frame.bytes.size()), frame.bytes.begin());
  frame.length = selector & 1 ? static_cast<int>(frame.bytes.size()) - (parameter % 16)
                              : static_cast<int>(std::min(bytes.size(), frame.bytes.size()));
  const int before = frame.length;
  CDongle::InsertDataHeader(frame);
  if (frame.length != 0 && frame.length != before + 6) std::abort();

  // A reply of any length confirms a write only when its data hold at least the image.
  const Bytes image(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(parameter, bytes.size())));
  const int length = static_cast<int>(bytes.size());
  if (FlashWrite::ReadBackConfirms(bytes.data(), length, image) && static_cast<std::size_t>(length) < image.size() + 8)
    std::abort();

  // The SDK-frame hub's receiver, frame after frame, into a buffer of any room.
  const auto line = std::make_shared<ByteSource>();
  line->Feed(bytes);
  const auto hub = std::make_shared<CQnSdk>(line);
  const int capacity = selector & 2 ? static_cast<int>(Communication::Device::QN::Frame::kMaxLength) : parameter;
  Bytes buffer(static_cast<std::size_t>(std::max(capacity, 0)));
  // Too little room even for a header: nothing is read, nothing taken.
  if (capacity < static_cast<int>(CQnSdk::kHeaderBytes + CQnSdk::kFooterBytes)) {
    if (hub->ReceiveFrame(buffer.data(), capacity) != 0) std::abort();
    return 0;
  }
  while (!line->Exhausted()) {
    const int received = hub->ReceiveFrame(buffer.data(), capacity);
    if (received == 0) continue;
    std::uint32_t mask = 0;
    std::memcpy(&mask, buffer.data() + 4, 4);
    if (received > capacity || static_cast<std::size_t>(received) != CQnSdk::FrameLength(mask)) std::abort();
  }
  return 0;
}
