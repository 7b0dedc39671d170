#include "communication/qn/FlashWrite.h"

#include <algorithm>
#include <thread>

#include "common/Log.h"

namespace Communication::Device::QN::FlashWrite {

bool Writable(const Bytes& image) {
  if (image.empty()) {
    QLOG(error) << "flash image is empty: not written";
    return false;
  }
  if (image.size() % 2 != 0) {
    QLOG(error) << "flash image of " << image.size() << " bytes is not whole words: not written";
    return false;
  }
  if (image.size() > kMaxImageSize) {
    QLOG(error) << "flash image of " << image.size() << " bytes is longer than a frame carries (" << kMaxImageSize
                << "): not written";
    return false;
  }
  return true;
}

Bytes Payload(const Bytes& image) {
  Bytes payload(2 + image.size());
  Frame::PutWord(payload.data(), Frame::CommandWord(Frame::Command::kWriteFlash));
  std::copy(image.begin(), image.end(), payload.begin() + 2);
  return payload;
}

bool ReadBackConfirms(const std::uint8_t* reply, int length, const Bytes& image) {
  if (length < static_cast<int>(Frame::kMinLength)) return false;
  const std::size_t data = static_cast<std::size_t>(length) - Frame::kDataOffset - Frame::kChecksumSize;
  return data >= image.size() && std::equal(image.begin(), image.end(), reply + Frame::kDataOffset);
}

bool ReadBack(CHub& hub, CSensor& sensor, int busAddress, const Bytes& image, const CSensorChannel& channel,
              std::chrono::milliseconds settle) {
  std::this_thread::sleep_for(settle);
  hub.SetAutoTx(false);
  CHub::Reply reply;
  const int length =
      channel.Request(hub, Frame::Request(Frame::CommandWord(Frame::Command::kReadFlash)), reply, true);
  if (!ReadBackConfirms(reply.data(), length, image)) {
    QLOG(error) << "sensor " << busAddress << " flash mismatch";
    return false;
  }
  sensor.SetFlash(Frame::Data(reply.data(), static_cast<std::size_t>(length)));
  return true;
}

}  // namespace Communication::Device::QN::FlashWrite
