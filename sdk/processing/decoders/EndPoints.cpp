#include "processing/decoders/EndPoints.h"

#include <cmath>
#include <cstring>

#include <Eigen/Geometry>

#include "common/LittleEndian.h"
#include "processing/decoders/WordScales.h"

namespace Processing::QN {

namespace {

using LittleEndian::Word;
using namespace WordScale;

constexpr double kPi = 3.14159265358979323846;

const std::uint8_t* In(const void* input) { return static_cast<const std::uint8_t*>(input); }
SensorRecord& Out(void* output) { return *static_cast<SensorRecord*>(output); }

void SetQuaternion(SensorRecord& record, double x, double y, double z, double w) {
  record.quaternion[0] = x;
  record.quaternion[1] = y;
  record.quaternion[2] = z;
  record.quaternion[3] = w;
}

void SetVector(double (&target)[3], double x, double y, double z) {
  target[0] = x;
  target[1] = y;
  target[2] = z;
}

}  // namespace

bool CQuat::Process(const void* input, void* output) {
  const auto* w = In(input);
  auto& record = Out(output);
  SetQuaternion(record, Word(w, 1) * k2m15, Word(w, 2) * k2m15, Word(w, 3) * k2m15, Word(w, 0) * k2m15);
  record.quaternionExtra = Word(w, 4) * k2m15;
  return true;
}

bool CCalibratedT::Process(const void* input, void* output) {
  const auto* w = In(input);
  auto& record = Out(output);
  SetVector(record.acceleration, -Word(w, 0) * k2m15, -Word(w, 1) * k2m15, -Word(w, 2) * k2m15);
  SetVector(record.magneticField, -Word(w, 3) * k2m15, -Word(w, 4) * k2m15, -Word(w, 5) * k2m15);
  SetVector(record.angularRate, Word(w, 6) * k2m15, Word(w, 7) * k2m15, Word(w, 8) * k2m15);
  record.temperature = Word(w, 9) * k2m15;
  return true;
}

bool CDKv3QCT::Process(const void* input, void* output) {
  constexpr double kRateDivisor = 1048.57;
  const auto* w = In(input);
  auto& record = Out(output);
  SetQuaternion(record, -Word(w, 2) * k2m15, Word(w, 1) * k2m15, Word(w, 0) * k2m15, -Word(w, 3) * k2m15);
  SetVector(record.acceleration, Word(w, 4) * k2m14, Word(w, 5) * k2m14, Word(w, 6) * k2m14);
  SetVector(record.magneticField, -Word(w, 7) * k2m14, -Word(w, 8) * k2m14, -Word(w, 9) * k2m14);
  SetVector(record.angularRate, Word(w, 10) / kRateDivisor, Word(w, 11) / kRateDivisor, Word(w, 12) / kRateDivisor);
  record.temperature = Word(w, 14) * k2m15;
  return true;
}

bool CDKv7Tindra::Process(const void* input, void* output) {
  constexpr double kAngleScale = kPi / 32768.0;            // rad per angle word
  constexpr double kRateScale = kPi * 350.0 / 180.0 * k2m15;  // rad/s per rate word
  const auto* w = In(input);
  auto& record = Out(output);

  using Eigen::AngleAxisd;
  using Eigen::Vector3d;
  const Eigen::Quaterniond composed = Eigen::Quaterniond(AngleAxisd(Word(w, 0) * kAngleScale, Vector3d::UnitZ())) *
                                      Eigen::Quaterniond(AngleAxisd(Word(w, 1) * kAngleScale, Vector3d::UnitX())) *
                                      Eigen::Quaterniond(AngleAxisd(Word(w, 2) * kAngleScale, Vector3d::UnitY()));
  // Through the rotation matrix and back, which fixes the quaternion's sign the
  // way the sensor's hosts expect it.
  const Eigen::Quaterniond q(composed.toRotationMatrix());
  SetQuaternion(record, q.x(), q.y(), q.z(), q.w());

  SetVector(record.angularRate, Word(w, 3) * kRateScale, Word(w, 4) * kRateScale, Word(w, 5) * kRateScale);
  SetVector(record.acceleration, Word(w, 6) * -k2m14, Word(w, 7) * -k2m14, Word(w, 8) * -k2m14);
  const double temperatureWord = LittleEndian::U16(w + 2 * 14);
  record.temperature = (temperatureWord * 8400.0 - 236371968.0) / 867041.28;
  return true;
}

CExtender::CExtender(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor) : CEndPoint(sensor) {
  const int size = sensor ? sensor->GetDataSize() : 0;
  if (size > 0 && size < static_cast<int>(sizeof(SensorRecord::payload))) payloadLength_ = size;
}

bool CExtender::Process(const void* input, void* output) {
  std::memcpy(Out(output).payload, input, static_cast<std::size_t>(payloadLength_));
  return true;
}

void DecodeDKv7QCT(const std::uint8_t* w, SensorRecord& record) {
  SetQuaternion(record, Word(w, 1) * k2m15, Word(w, 2) * k2m15, Word(w, 3) * k2m15, Word(w, 0) * k2m15);
  SetVector(record.acceleration, Word(w, 4) * k2m11, Word(w, 5) * k2m11, Word(w, 6) * k2m11);
  SetVector(record.magneticField, Word(w, 7) * k2m11, Word(w, 8) * k2m11, Word(w, 9) * k2m11);
  SetVector(record.angularRate, Word(w, 10) * k2m10, Word(w, 11) * k2m10, Word(w, 12) * k2m10);
  record.temperature = Word(w, 13) * k2m8;
}

}  // namespace Processing::QN
