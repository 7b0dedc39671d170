#include "communication/qn/Frame.h"

#include <algorithm>
#include <cstring>

namespace Communication::Device::QN::Frame {

std::size_t Build(const std::uint8_t* payload, std::size_t count, std::uint8_t* frame, std::size_t capacity,
                  std::uint8_t address) {
  const std::size_t length = count + kOverhead;
  if (count < 2 || count % 2 != 0 || length > kMaxLength || length > capacity) return 0;
  frame[0] = static_cast<std::uint8_t>(~address);
  frame[1] = address;
  PutWord(frame + kLengthOffset, static_cast<std::uint16_t>(length));
  std::memcpy(frame + kHeaderSize, payload, count);
  PutWord(frame + length - kChecksumSize, Checksum(frame, length - kChecksumSize));
  return length;
}

Bytes Build(const Bytes& payload, std::uint8_t address) {
  Bytes frame(payload.size() + kOverhead);
  frame.resize(Build(payload.data(), payload.size(), frame.data(), frame.size(), address));
  return frame;
}

Bytes Request(std::uint16_t command, std::uint16_t data) {
  Bytes payload(4);
  PutWord(payload.data(), command);
  PutWord(payload.data() + 2, data);
  return payload;
}

HeaderCheck CheckHeader(const std::uint8_t* header) {
  const std::size_t length = DeclaredLength(header);
  if (header[1] != kHubAddress || length < kMinLength || length > kMaxLength || length % 2 != 0)
    return HeaderCheck::kBadPrefix;
  return HeaderCheck::kAccepted;
}

ChecksumCheck CheckChecksum(const std::uint8_t* frame, std::size_t length) {
  const std::uint16_t read = Word(frame + length - kChecksumSize);
  const std::uint16_t computed = Checksum(frame, length - kChecksumSize);
  return {read == computed, read, computed};
}

ReplyKind ClassifyReply(const std::uint8_t* request, std::size_t requestLength, const std::uint8_t* reply,
                        std::size_t replyLength) {
  const std::uint16_t word = Word(reply + kCommandOffset);
  if (word == CommandWord(Command::kDirectAccessTimeout)) return ReplyKind::kDirectAccessTimeout;
  // The command byte is the high byte of the little-endian command word.
  if (reply[kCommandOffset + 1] != request[kCommandOffset + 1]) return ReplyKind::kForeign;
  if (replyLength == requestLength && std::equal(request, request + requestLength, reply)) return ReplyKind::kEcho;
  return ReplyKind::kReply;
}

Bytes Data(const std::uint8_t* frame, std::size_t length) {
  if (length < kDataOffset + kChecksumSize) return {};
  return Bytes(frame + kDataOffset, frame + length - kChecksumSize);
}

std::string Text(const std::uint8_t* frame, std::size_t length) {
  const Bytes data = Data(frame, length);
  const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

}  // namespace Communication::Device::QN::Frame
