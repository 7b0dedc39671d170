#pragma once

#include <cstddef>
#include <cstdint>

namespace Processing {

// The output frame crosses to the host as it lies in memory, and the host reads
// it as little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the output frame is little-endian");

// One sensor's block of the output frame. Values no writer sets stay 0 from the
// zeroing of the frame; each writer's scale sets the unit of what it writes
// (writers do not share one unit system).
struct SensorRecord {
  double uncalibrated[9];  // acceleration, angular rate, magnetic field x, y, z: raw words times the raw scale
  std::uint8_t reserved72[8];
  double acceleration[3];  // x, y, z
  double angularRate[3];   // x, y, z
  double magneticField[3]; // x, y, z
  double temperature;
  double quaternion[4];    // x, y, z, w: vector part first, scalar last
  double quaternionExtra;  // the quaternion end point's fifth word
  std::uint8_t payload[256];  // the sensor's raw payload bytes
  std::uint32_t words[6];     // passed through by the SDK-frame and Memsense managers
  std::uint8_t reserved480[32];
};

// The frame handed to the host's receive callback: 16-byte header, then one
// 512-byte record per hub position.
struct SdkFrame {
  std::uint16_t frameCounter;
  std::uint16_t rawHubWord;
  std::uint32_t sensorMask;  // bit k set when position k carries data
  double rawHubValue;        // computed from the raw hub word
  SensorRecord sensors[32];
};

static_assert(sizeof(SensorRecord) == 512);
static_assert(offsetof(SensorRecord, uncalibrated) == 0);
static_assert(offsetof(SensorRecord, acceleration) == 80);
static_assert(offsetof(SensorRecord, angularRate) == 104);
static_assert(offsetof(SensorRecord, magneticField) == 128);
static_assert(offsetof(SensorRecord, temperature) == 152);
static_assert(offsetof(SensorRecord, quaternion) == 160);
static_assert(offsetof(SensorRecord, quaternionExtra) == 192);
static_assert(offsetof(SensorRecord, payload) == 200);
static_assert(offsetof(SensorRecord, words) == 456);
static_assert(offsetof(SensorRecord, reserved480) == 480);
static_assert(offsetof(SensorRecord, reserved72) == 72);
static_assert(sizeof(SensorRecord::uncalibrated) == 72);
static_assert(sizeof(SensorRecord::acceleration) == 24);
static_assert(sizeof(SensorRecord::angularRate) == 24);
static_assert(sizeof(SensorRecord::magneticField) == 24);
static_assert(sizeof(SensorRecord::temperature) == 8);
static_assert(sizeof(SensorRecord::quaternion) == 32);
static_assert(sizeof(SensorRecord::quaternionExtra) == 8);
static_assert(sizeof(SensorRecord::payload) == 256);
static_assert(sizeof(SensorRecord::words) == 24);
static_assert(sizeof(SensorRecord::reserved480) == 32);

static_assert(sizeof(SdkFrame) == 16400);
static_assert(offsetof(SdkFrame, frameCounter) == 0);
static_assert(offsetof(SdkFrame, rawHubWord) == 2);
static_assert(offsetof(SdkFrame, sensorMask) == 4);
static_assert(offsetof(SdkFrame, rawHubValue) == 8);
static_assert(offsetof(SdkFrame, sensors) == 16);
static_assert(sizeof(SdkFrame::frameCounter) == 2);
static_assert(sizeof(SdkFrame::rawHubWord) == 2);
static_assert(sizeof(SdkFrame::sensorMask) == 4);
static_assert(sizeof(SdkFrame::rawHubValue) == 8);
static_assert(sizeof(SdkFrame::sensors) == 32 * 512);

constexpr std::size_t kPositions = 32;
static_assert(sizeof(SdkFrame::sensors) / sizeof(SensorRecord) == kPositions);

}  // namespace Processing
