#include "simhub/Codec.h"

#include <algorithm>

namespace SimHub {

std::uint16_t ReadWord(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

void WriteWord(Bytes& bytes, std::size_t offset, std::uint16_t word) {
  bytes.at(offset) = static_cast<std::uint8_t>(word & 0xFF);
  bytes.at(offset + 1) = static_cast<std::uint8_t>(word >> 8);
}

void AppendWord(Bytes& bytes, std::uint16_t word) {
  bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(word >> 8));
}

std::uint32_t ReadLong(const Bytes& bytes, std::size_t offset) {
  return ReadWord(bytes, offset) | static_cast<std::uint32_t>(ReadWord(bytes, offset + 2)) << 16;
}

void AppendLong(Bytes& bytes, std::uint32_t value) {
  AppendWord(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
  AppendWord(bytes, static_cast<std::uint16_t>(value >> 16));
}

std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < count; i += 2) sum = static_cast<std::uint16_t>(sum + (bytes[i] | bytes[i + 1] << 8));
  return sum;
}

Bytes Frame(std::uint16_t commandWord, const Bytes& data, std::uint8_t address) {
  Bytes frame{static_cast<std::uint8_t>(~address), address, 0, 0};
  AppendWord(frame, commandWord);
  frame.insert(frame.end(), data.begin(), data.end());
  WriteWord(frame, 2, static_cast<std::uint16_t>(frame.size() + 2));
  AppendWord(frame, Checksum(frame.data(), frame.size()));
  return frame;
}

std::uint16_t CommandWord(const Bytes& frame) { return ReadWord(frame, 4); }

Bytes FrameData(const Bytes& frame) { return Bytes(frame.begin() + kHeaderSize, frame.end() - 2); }

std::uint16_t ReplyWord(std::uint16_t requestWord) {
  return static_cast<std::uint16_t>((requestWord & 0xFF00) | kReplySubCode);
}

void FrameReader::Feed(const std::uint8_t* bytes, std::size_t count) { pending_.insert(pending_.end(), bytes, bytes + count); }

std::optional<Bytes> FrameReader::Next() {
  while (pending_.size() >= 4) {
    const bool pairHolds = static_cast<std::uint8_t>(~pending_[0]) == pending_[1];
    const std::size_t length = ReadWord(pending_, 2);
    if (!pairHolds || length < kMinFrameSize || length > kMaxFrameSize || length % 2 != 0) {
      pending_.erase(pending_.begin());
      continue;
    }
    if (pending_.size() < length) return std::nullopt;
    if (Checksum(pending_.data(), length - 2) != ReadWord(pending_, length - 2)) {
      pending_.erase(pending_.begin());
      continue;
    }
    Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    return frame;
  }
  return std::nullopt;
}

}  // namespace SimHub
