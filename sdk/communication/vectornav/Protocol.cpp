#include "communication/vectornav/Protocol.h"

#include <cmath>
#include <cstdio>

namespace Communication::Device::Vn {

namespace {

constexpr unsigned kBinaryOutputRegister = 75;
constexpr unsigned kSerialPort1 = 1;
constexpr unsigned kCommonGroup = 0x1;
constexpr unsigned kCommonFields = 0x530;  // bits 4, 5, 8, 10
constexpr unsigned kTextOutputRegister = 6;
constexpr int kTextOutputOff = 0;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned crc = byte << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[byte] = static_cast<std::uint16_t>(crc);
  }
  return table;
}

constexpr auto kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1021);

}  // namespace

std::string Trailer(std::string_view command) {
  char trailer[8];
  std::snprintf(trailer, sizeof trailer, "*%02X\r\n", Checksum(command));
  return trailer;
}

std::string BinaryOutputCommand(unsigned divisor) {
  char command[64];
  std::snprintf(command, sizeof command, "$VNWRG,%u,%u,%u,%X,%X", kBinaryOutputRegister, kSerialPort1, divisor,
                kCommonGroup, kCommonFields);
  return command;
}

std::string TextOutputOffCommand() {
  char command[32];
  std::snprintf(command, sizeof command, "$VNWRG,%u,%d", kTextOutputRegister, kTextOutputOff);
  return command;
}

std::optional<RateDivisor> DivisorFor(double frequencyHz) {
  if (!std::isfinite(frequencyHz) || frequencyHz <= 0) return std::nullopt;
  // Clamped as a double: the quotient of a tiny rate does not fit an int.
  const double quotient = std::trunc(kBaseRateHz / frequencyHz);
  if (quotient < 1) return RateDivisor{1, true};
  if (quotient > kMaxDivisor) return RateDivisor{kMaxDivisor, true};
  return RateDivisor{static_cast<unsigned>(quotient), false};
}

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
  return crc;
}

}  // namespace Communication::Device::Vn
