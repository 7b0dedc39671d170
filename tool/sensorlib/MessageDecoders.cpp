#include "MessageDecoders.h"

#include <cmath>
#include <stdexcept>

namespace Lumeth::Core::SensorLibrary {

namespace {

constexpr double kFraction15 = 1.0 / 32768.0;  // 2^-15
constexpr double kFraction10 = 1.0 / 1024.0;   // 2^-10
constexpr double kTemperatureDivisor = 326.8;
constexpr double kTemperatureOffset = 25.0;  // (degrees Celsius)

constexpr std::size_t kMeasurementBytes = 30;
constexpr std::size_t kMeasurementWithErrorBytes = 56;
constexpr std::size_t kQuaternionBytes = 10;
constexpr std::size_t kStatusBytes = 14;
constexpr std::size_t kFlashBlockBytes = 512;
constexpr std::size_t kDeviceErrorOffset = 36;  // eight upper-case hex digits
constexpr std::size_t kDeviceErrorDigits = 8;

double signedWord(std::uint16_t word) { return static_cast<std::int16_t>(word); }

Eigen::Vector3d scaledVector(const StreamMessage& message, std::size_t first, double scale) {
  return Eigen::Vector3d(signedWord(message.payload[first]), signedWord(message.payload[first + 1]),
                         signedWord(message.payload[first + 2])) *
         scale;
}

int hexDigit(std::uint8_t character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return 0;
}

}  // namespace

void requireExactPayload(const StreamMessage& message, std::size_t bytes) {
  const std::size_t actual = message.payload.size() * 2;
  if (actual != bytes)
    throw std::runtime_error("the size of the " + messageTypeName(message.type) + " response is " +
                             std::to_string(actual) + " bytes instead of " + std::to_string(bytes) + " bytes");
}

void requireMinimumPayload(const StreamMessage& message, std::size_t bytes) {
  const std::size_t actual = message.payload.size() * 2;
  if (actual < bytes)
    throw std::runtime_error("the size of the " + messageTypeName(message.type) + " response is " +
                             std::to_string(actual) + " bytes which is less than the required " +
                             std::to_string(bytes) + " bytes");
}

std::string payloadBytes(const StreamMessage& message) {
  std::string bytes;
  bytes.reserve(message.payload.size() * 2);
  for (const std::uint16_t word : message.payload) {
    bytes.push_back(static_cast<char>(word & 0xFF));
    bytes.push_back(static_cast<char>(word >> 8));
  }
  return bytes;
}

Eigen::Quaterniond quaternionFromWords(std::uint16_t w, std::uint16_t x, std::uint16_t y, std::uint16_t z) {
  // In doubles: four squared 16-bit words reach 2^32 and overflow any 32-bit sum.
  Eigen::Quaterniond q(signedWord(w), signedWord(x), signedWord(y), signedWord(z));
  const double squares = q.coeffs().squaredNorm();
  if (squares > 0.0) q.coeffs() /= std::sqrt(squares);
  return q;
}

double temperatureFromWord(std::uint16_t word) {
  return signedWord(word) * kFraction15 / kTemperatureDivisor + kTemperatureOffset;
}

std::string decodeIdentity(const StreamMessage& message) {
  const std::string bytes = payloadBytes(message);
  return bytes.substr(0, bytes.find('\0'));
}

Eigen::Quaterniond decodeQuaternion(const StreamMessage& message) {
  requireExactPayload(message, kQuaternionBytes);
  const auto& p = message.payload;
  return quaternionFromWords(p[1], p[2], p[3], p[4]);
}

QuenlithSensorData decodeMeasurement(const StreamMessage& message) {
  requireExactPayload(message, kMeasurementBytes);
  const auto& p = message.payload;
  QuenlithSensorData data;
  data.counter = p[0];
  data.quaternion = quaternionFromWords(p[1], p[2], p[3], p[4]);
  data.vector1 = scaledVector(message, 5, kFraction15);
  data.vector2 = scaledVector(message, 8, kFraction15);
  data.gyro = scaledVector(message, 11, kFraction10);
  data.temperature = temperatureFromWord(p[14]);
  return data;
}

QuenlithSensorData decodeMeasurementWithError(const StreamMessage& message) {
  requireExactPayload(message, kMeasurementWithErrorBytes);
  const auto& p = message.payload;
  QuenlithSensorData data;
  data.counter = p[0];
  data.quaternion = quaternionFromWords(p[4], p[5], p[6], p[7]);
  data.vector1 = scaledVector(message, 8, kFraction15);
  data.vector2 = scaledVector(message, 11, kFraction15);
  data.gyro = scaledVector(message, 14, kFraction15);
  data.temperature = temperatureFromWord(p[17]);

  const std::string bytes = payloadBytes(message);
  const std::string digits = bytes.substr(kDeviceErrorOffset, kDeviceErrorDigits);
  if (digits.find_first_not_of('\0') != std::string::npos) {
    // Built with its length: the error bytes are binary and often hold NULs.
    std::string text(kDeviceErrorDigits / 2, '\0');
    for (std::size_t k = 0; k < text.size(); ++k)
      text[k] = static_cast<char>(16 * hexDigit(static_cast<std::uint8_t>(digits[2 * k])) +
                                  hexDigit(static_cast<std::uint8_t>(digits[2 * k + 1])));
    data.deviceError = std::move(text);
  }
  return data;
}

QuenlithSensorStatus decodeStatus(const StreamMessage& message) {
  requireMinimumPayload(message, kStatusBytes);
  const auto& p = message.payload;
  QuenlithSensorStatus status;
  status.streaming = p[0] == 0xFFFF;
  status.value1 = p[1];
  status.periodValue = p[2];
  // Summed in 32 bits: a period word of 0xFFFF must not wrap to a zero divisor.
  status.rate = 1.0 / ((static_cast<std::uint32_t>(p[2]) + 1) * 1e-6);
  status.value4 = p[4];
  status.value5 = p[5];
  return status;
}

std::string decodeFlashBlock(const StreamMessage& message) {
  requireMinimumPayload(message, kFlashBlockBytes);
  return payloadBytes(message);
}

}  // namespace Lumeth::Core::SensorLibrary
