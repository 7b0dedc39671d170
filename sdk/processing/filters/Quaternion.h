#pragma once

#include <cmath>

#include <Eigen/Geometry>

// Conventions of the attitude filters, stated once:
// - Quaternions are Hamilton quaternions (Eigen's product), named here x, y,
//   z, w, vector part first, as the output record and the shared storage hold
//   them.
// - Vectors are in the sensor frame, in the units of the model that wrote them.
namespace Processing::QN {

inline Eigen::Quaterniond Quat(double x, double y, double z, double w) { return Eigen::Quaterniond(w, x, y, z); }

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
