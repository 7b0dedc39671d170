#pragma once

// Pure decoders from a checked StreamMessage to the sensor stream's records.
// A payload of the wrong size throws std::runtime_error naming the type.

#include <cstddef>
#include <string>

#include "SensorRecords.h"
#include "StreamMessage.h"

namespace Lumeth::Core::SensorLibrary {

// Throws unless the payload has exactly / at least so many bytes.
void requireExactPayload(const StreamMessage& message, std::size_t bytes);
void requireMinimumPayload(const StreamMessage& message, std::size_t bytes);

// The payload as bytes in wire order.
std::string payloadBytes(const StreamMessage& message);

// Four signed words w, x, y, z, normalised unless all are zero.
Eigen::Quaterniond quaternionFromWords(std::uint16_t w, std::uint16_t x, std::uint16_t y, std::uint16_t z);
// The temperature word (degrees Celsius).
double temperatureFromWord(std::uint16_t word);

// 0x0110: the payload bytes up to the first NUL.
std::string decodeIdentity(const StreamMessage& message);
// 0x0211 and the quaternion of 0x0213.
Eigen::Quaterniond decodeQuaternion(const StreamMessage& message);
// 0x0213 (30 bytes).
QuenlithSensorData decodeMeasurement(const StreamMessage& message);
// 0x0210 (56 bytes), with the device error its eight hex-digit bytes carry.
QuenlithSensorData decodeMeasurementWithError(const StreamMessage& message);
// 0x0310 (at least 14 bytes).
QuenlithSensorStatus decodeStatus(const StreamMessage& message);
// 0x0510 (at least 512 bytes): the whole payload.
std::string decodeFlashBlock(const StreamMessage& message);

}  // namespace Lumeth::Core::SensorLibrary
