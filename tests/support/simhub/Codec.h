#pragma once

// The simulator's own hub frame codec: building frames and finding whole,
// checked frames in a byte stream.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "simhub/SimulatedHub.h"

namespace SimHub {

constexpr std::size_t kHeaderSize = 6;     // address pair, length, command word
constexpr std::size_t kMinFrameSize = 8;   // header without command data, checksum
constexpr std::size_t kMaxFrameSize = 0x4000;
constexpr std::uint8_t kHubAddress = 0x55;
constexpr std::uint16_t kReplySubCode = 0x10;

std::uint16_t ReadWord(const Bytes& bytes, std::size_t offset);
void WriteWord(Bytes& bytes, std::size_t offset, std::uint16_t word);
void AppendWord(Bytes& bytes, std::uint16_t word);
std::uint32_t ReadLong(const Bytes& bytes, std::size_t offset);
void AppendLong(Bytes& bytes, std::uint32_t value);

std::uint16_t CommandWord(const Bytes& frame);
Bytes FrameData(const Bytes& frame);  // bytes 6 to L - 3
// The reply word for a request's command word: its command byte, sub-code 0x10.
std::uint16_t ReplyWord(std::uint16_t requestWord);

// Collects bytes and hands out the frames among them whose address pair,
// length and checksum hold. Bytes that cannot start such a frame are skipped
// one at a time, so the reader finds its way back after noise.
class FrameReader {
 public:
  void Feed(const std::uint8_t* bytes, std::size_t count);
  std::optional<Bytes> Next();
  void Clear() { pending_.clear(); }

 private:
  Bytes pending_;
};

}  // namespace SimHub
