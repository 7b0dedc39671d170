#pragma once

#include <cstddef>
#include <cstdint>

namespace Communication::Device::Vn {

// Everything a VectorNav sensor reports, in one fixed record that the reader
// fills from a binary packet or a text output and the processing copies as it
// stands. Each decode starts from a zeroed record, so a quantity the packet or
// message does not carry reads 0.
//
// Conventions: floating-point values are doubles (the packet's 32-bit floats
// widened); the packet's 8-byte values (times in nanoseconds, positions) are
// kept bit for bit. Units and frames are the sensor's: angles in degrees,
// angular rates in rad/s, accelerations in m/s^2, magnetic fields in gauss,
// temperature in degrees Celsius, pressure in kPa, vectors in the body frame
// unless named otherwise. The quaternion is x, y, z, w (scalar last). Both the
// packet's and the text output's direction cosine matrix are stored row by
// row, element (r, c) at index 3r + c, as the sensor sends them.
struct Record {
  double yawPitchRoll[3];
  double quaternion[4];
  double magneticField[3];
  double acceleration[3];
  double angularRate[3];
  double directionCosines[9];
  double temperature;
  // Only text outputs fill the next four.
  double rawVoltages[10];          // magnetic, acceleration, angular rate x, y, z, then temperature (V)
  double gyroBias[3];              // the filter's state
  double attitudeVariance[3];      // the filter's covariance
  double gyroBiasVariance[3];
  std::uint64_t timeSinceStartup;  // ns
  std::uint64_t gpsTime;           // ns
  std::uint64_t timeSinceSyncIn;   // ns
  double position[3];              // latitude, longitude (degrees), altitude (m)
  double velocity[3];              // north, east, down (m/s)
  double uncompensatedAngularRate[3];
  double uncompensatedAcceleration[3];
  double uncompensatedMagneticField[3];
  double pressure;
  double deltaTime;                // s
  double deltaAngle[3];
  double deltaVelocity[3];         // m/s
  std::uint16_t insStatus;
  std::uint8_t reserved570[2];
  std::uint32_t syncInCount;
  std::uint64_t timeOfLastGpsPulse;  // ns
  double gpsTimeOfWeekSeconds;       // text outputs only (s)
  std::uint64_t gpsTimeOfWeek;       // ns
  std::uint16_t gpsWeek;
  std::int8_t utc[6];                // year (from 2000), month, day, hour, minute, second
  std::uint16_t utcMilliseconds;
  std::uint16_t sensorSaturation;
  std::uint8_t satellites;
  std::uint8_t gpsFix;
  std::uint8_t reserved614[2];
  double gpsPositionEcef[3];         // m
  double gpsVelocityEcef[3];
  double gpsPositionUncertainty[3];  // m
  double gpsVelocityUncertainty;
  std::uint32_t gpsTimeUncertainty;  // ns
  float gpsTimeAccuracy;             // text outputs only (s)
  std::uint16_t attitudeStatus;
  std::uint8_t reserved706[6];
  double magneticFieldNed[3];
  double accelerationNed[3];
  double linearAccelerationBody[3];
  double linearAccelerationNed[3];
  double yawPitchRollUncertainty[3];
  double velocityBody[3];
  double velocityNed[3];
  double gpsPosition[3];             // latitude, longitude (degrees), altitude (m)
  double gpsVelocityNed[3];
  double insPositionEcef[3];
  double insVelocityEcef[3];
  double magneticFieldEcef[3];
  double accelerationEcef[3];
  double linearAccelerationEcef[3];
  double insPositionUncertainty;
  double insVelocityUncertainty;
  double attitudeUncertainty;        // text outputs only
};

static_assert(sizeof(Record) == 1072);
static_assert(offsetof(Record, yawPitchRoll) == 0);
static_assert(offsetof(Record, quaternion) == 24);
static_assert(offsetof(Record, magneticField) == 56);
static_assert(offsetof(Record, acceleration) == 80);
static_assert(offsetof(Record, angularRate) == 104);
static_assert(offsetof(Record, directionCosines) == 128);
static_assert(offsetof(Record, temperature) == 200);
static_assert(offsetof(Record, rawVoltages) == 208);
static_assert(offsetof(Record, gyroBiasVariance) + sizeof(Record::gyroBiasVariance) == 360);
static_assert(offsetof(Record, timeSinceStartup) == 360);
static_assert(offsetof(Record, gpsTime) == 368);
static_assert(offsetof(Record, timeSinceSyncIn) == 376);
static_assert(offsetof(Record, position) == 384);
static_assert(offsetof(Record, velocity) == 408);
static_assert(offsetof(Record, uncompensatedAngularRate) == 432);
static_assert(offsetof(Record, uncompensatedAcceleration) == 456);
static_assert(offsetof(Record, uncompensatedMagneticField) == 480);
static_assert(offsetof(Record, pressure) == 504);
static_assert(offsetof(Record, deltaTime) == 512);
static_assert(offsetof(Record, deltaAngle) == 520);
static_assert(offsetof(Record, deltaVelocity) == 544);
static_assert(offsetof(Record, insStatus) == 568);
static_assert(offsetof(Record, syncInCount) == 572);
static_assert(offsetof(Record, timeOfLastGpsPulse) == 576);
static_assert(offsetof(Record, gpsTimeOfWeekSeconds) == 584);
static_assert(offsetof(Record, gpsTimeOfWeek) == 592);
static_assert(offsetof(Record, gpsWeek) == 600);
static_assert(offsetof(Record, utc) == 602);
static_assert(offsetof(Record, utcMilliseconds) == 608);
static_assert(offsetof(Record, sensorSaturation) == 610);
static_assert(offsetof(Record, satellites) == 612);
static_assert(offsetof(Record, gpsFix) == 613);
static_assert(offsetof(Record, gpsPositionEcef) == 616);
static_assert(offsetof(Record, gpsVelocityEcef) == 640);
static_assert(offsetof(Record, gpsPositionUncertainty) == 664);
static_assert(offsetof(Record, gpsVelocityUncertainty) == 688);
static_assert(offsetof(Record, gpsTimeUncertainty) == 696);
static_assert(offsetof(Record, gpsTimeAccuracy) == 700);
static_assert(offsetof(Record, attitudeStatus) == 704);
static_assert(offsetof(Record, magneticFieldNed) == 712);
static_assert(offsetof(Record, accelerationNed) == 736);
static_assert(offsetof(Record, linearAccelerationBody) == 760);
static_assert(offsetof(Record, linearAccelerationNed) == 784);
static_assert(offsetof(Record, yawPitchRollUncertainty) == 808);
static_assert(offsetof(Record, velocityBody) == 832);
static_assert(offsetof(Record, velocityNed) == 856);
static_assert(offsetof(Record, gpsPosition) == 880);
static_assert(offsetof(Record, gpsVelocityNed) == 904);
static_assert(offsetof(Record, insPositionEcef) == 928);
static_assert(offsetof(Record, insVelocityEcef) == 952);
static_assert(offsetof(Record, magneticFieldEcef) == 976);
static_assert(offsetof(Record, accelerationEcef) == 1000);
static_assert(offsetof(Record, linearAccelerationEcef) == 1024);
static_assert(offsetof(Record, insPositionUncertainty) == 1048);
static_assert(offsetof(Record, insVelocityUncertainty) == 1056);
static_assert(offsetof(Record, attitudeUncertainty) == 1064);

}  // namespace Communication::Device::Vn
