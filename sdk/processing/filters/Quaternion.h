#pragma once

#include <cmath>

#include <Eigen/Geometry>

#include "processing/SdkFrame.h"

// Conventions of the attitude stages, stated once:
// - Quaternions are Hamilton quaternions (Eigen's product); a SensorRecord and
//   the shared storage hold them as four doubles x, y, z, w, vector part first.
// - The record's vectors are in the sensor frame, in the units of the model
//   that wrote them.
namespace Processing::QN {

inline Eigen::Quaterniond Quat(double x, double y, double z, double w) { return Eigen::Quaterniond(w, x, y, z); }

inline Eigen::Quaterniond RecordQuaternion(const SensorRecord& record) {
  return Quat(record.quaternion[0], record.quaternion[1], record.quaternion[2], record.quaternion[3]);
}

inline void SetRecordQuaternion(SensorRecord& record, const Eigen::Quaterniond& q) {
  record.quaternion[0] = q.x();
  record.quaternion[1] = q.y();
  record.quaternion[2] = q.z();
  record.quaternion[3] = q.w();
}

inline Eigen::Vector3d RecordVector(const double (&values)[3]) { return {values[0], values[1], values[2]}; }

inline bool AllFinite(const Eigen::Quaterniond& q) { return q.coeffs().allFinite(); }

// The rotation quaternion of a small rotation vector v (half-angles):
// (v, sqrt(1 - |v|^2)) while that is defined, else (v, 1) normalised, without
// overflow however long v is.
inline Eigen::Quaterniond SmallRotation(const Eigen::Vector3d& v) {
  const double squared = v.squaredNorm();
  if (squared < 0.99999) return Quat(v.x(), v.y(), v.z(), std::sqrt(1 - squared));
  return Eigen::Quaterniond(Eigen::Vector4d(v.x(), v.y(), v.z(), 1).stableNormalized());  // x, y, z, w
}

}  // namespace Processing::QN
