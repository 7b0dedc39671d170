#pragma once

// The records the sensor stream decodes from the sensor's frames. Every
// quaternion is an Eigen quaternion: stored x, y, z, w, built from w, x, y, z.

#include <cstdint>
#include <optional>
#include <string>

#include <Eigen/Geometry>

namespace Lumeth::Core::SensorLibrary {

struct QuenlithSensorData {
  std::uint16_t counter = 0;
  Eigen::Quaterniond quaternion = Eigen::Quaterniond::Identity();  // unit, sensor to reference
  // Signed words scaled by 2^-15 (fraction of full scale).
  Eigen::Vector3d vector1 = Eigen::Vector3d::Zero();
  Eigen::Vector3d vector2 = Eigen::Vector3d::Zero();
  // Angular rate: words scaled by 2^-10 in 0x0213 frames, 2^-15 in 0x0210 frames.
  Eigen::Vector3d gyro = Eigen::Vector3d::Zero();
  double temperature = 0.0;                                        // (degrees Celsius)
  std::optional<std::string> deviceError;  // four bytes, NULs included; only while the sensor reports one
};

struct QuenlithSensorStatus {
  bool streaming = false;  // word 0 is 0xFFFF, the stream-on value
  std::uint32_t value1 = 0;
  std::uint32_t periodValue = 0;
  double rate = 0.0;  // 1e6 / (periodValue + 1) (Hz)
  std::uint16_t value4 = 0;
  std::uint16_t value5 = 0;
};

}  // namespace Lumeth::Core::SensorLibrary
