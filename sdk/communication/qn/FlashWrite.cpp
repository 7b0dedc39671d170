#include "communication/qn/FlashWrite.h"

#include <algorithm>
#include <thread>

#include "api/Log.h"

namespace Communication::Device::QN::FlashWrite {

Bytes AddressedFrame(std::uint8_t address, const Bytes& payload) {
  Bytes frame = Frame::Build(payload);
  if (frame.empty()) return frame;
  frame[0] = static_cast<std::uint8_t>(~address);
  frame[1] = address;
  Frame::PutWord(frame.data() + frame.size() - Frame::kChecksumSize,
                 Frame::Checksum(frame.data(), frame.size() - Frame::kChecksumSize));
  return frame;
}

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

bool Acknowledged(const std::uint8_t* reply, int length) {
  if (length < static_cast<int>(Frame::kMinLength)) return false;
  if (reply[Frame::kCommandOffset + 1] != (Frame::CommandWord(Frame::Command::kWriteFlash) >> 8)) return false;
  if (length < static_cast<int>(Frame::kDataOffset + 2 + Frame::kChecksumSize)) return true;
  return Frame::Word(reply + Frame::kDataOffset) == 0;
}

bool ReadBackMatches(const std::uint8_t* reply, int length, const Bytes& image) {
  if (length < static_cast<int>(Frame::kMinLength)) return false;
  const std::size_t data = static_cast<std::size_t>(length) - Frame::kOverhead - 2;
  return data == image.size() && std::equal(image.begin(), image.end(), reply + Frame::kDataOffset);
}

bool WriteAndVerify(CHub& hub, CSensor& sensor, int busAddress, const Bytes& image,
                    std::optional<std::uint8_t> busFrameAddress, std::chrono::milliseconds settle) {
  Bytes write(2 + image.size());
  Frame::PutWord(write.data(), Frame::CommandWord(Frame::Command::kWriteFlash));
  std::copy(image.begin(), image.end(), write.begin() + 2);
  Bytes readFlash = Frame::Request(Frame::CommandWord(Frame::Command::kReadFlash));
  const bool addressed = busFrameAddress.has_value();
  if (addressed) {
    write = AddressedFrame(*busFrameAddress, write);
    readFlash = AddressedFrame(*busFrameAddress, readFlash);
  }

  CHub::Reply reply;
  const int acknowledgement = hub.Request(write.data(), static_cast<int>(write.size()), reply.data(),
                                          static_cast<int>(reply.size()), addressed, !addressed);
  if (!Acknowledged(reply.data(), acknowledgement)) {
    QLOG(error) << "sensor " << busAddress << " flash write not acknowledged";
    return false;
  }
  std::this_thread::sleep_for(settle);
  hub.SetAutoTx(false);

  const int length = hub.RequestRetry(readFlash.data(), static_cast<int>(readFlash.size()), reply.data(),
                                      static_cast<int>(reply.size()), addressed, !addressed);
  if (!ReadBackMatches(reply.data(), length, image)) {
    QLOG(error) << "sensor " << busAddress << " flash mismatch";
    return false;
  }
  sensor.SetFlash(image);
  return true;
}

}  // namespace Communication::Device::QN::FlashWrite
