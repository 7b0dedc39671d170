#pragma once

// What the SDK says to a VectorNav sensor and how it checks what comes back,
// as plain functions over text and bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Communication::Device::Vn {

// Results of the driver's operations.
namespace Result {
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kTimeout = 3;
constexpr int kInvalidParameter = 4;
constexpr int kPortNotFound = 5;
constexpr int kNotConnected = 6;
constexpr int kAccessDenied = 7;
// A "$VNERR" reply yields the sensor's error number plus this.
constexpr int kSensorErrorBase = 7;
}  // namespace Result

// The rate every binary output divides (Hz).
constexpr int kBaseRateHz = 800;
constexpr int kMaxDivisor = 65535;  // the register's 16-bit divisor

// XOR of the characters after the leading "$".
constexpr std::uint8_t Checksum(std::string_view text) {
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i < text.size(); ++i) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(text[i]));
  return sum;
}

// "*", the checksum as two upper-case hexadecimal digits, carriage return, line feed.
std::string Trailer(std::string_view command);

// Binary output register 1 on serial port 1 at the base rate divided by
// `divisor`: the Common group with quaternion, angular rate, acceleration and
// magnetic field with temperature and pressure.
std::string BinaryOutputCommand(unsigned divisor);
std::string TextOutputOffCommand();

// The divisor for an asked rate (Hz): the base rate over it, truncated, kept
// within 1 to kMaxDivisor (`clamped` says whether it had to be). None for a
// rate that is no positive finite number.
struct RateDivisor {
  unsigned divisor;
  bool clamped;
};
std::optional<RateDivisor> DivisorFor(double frequencyHz);

// CRC-16 with polynomial 0x1021 and initial value 0, most significant bit
// first. Over a packet without its sync byte, CRC included, it is 0.
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count);

}  // namespace Communication::Device::Vn
