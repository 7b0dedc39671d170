#include "processing/compensation/Rotations.h"

#include <cmath>

namespace Processing::Compensation {

Eigen::Matrix3d RotationOf(const Eigen::Vector4d& wxyz) {
  // Eigen's conversion is the unit-quaternion formula and does not normalise.
  return Eigen::Quaterniond(wxyz(0), wxyz(1), wxyz(2), wxyz(3)).toRotationMatrix();
}

Eigen::Quaterniond RotationZxy(double gamma, double alpha, double beta) {
  return Eigen::Quaterniond(Eigen::AngleAxisd(gamma, Eigen::Vector3d::UnitZ())) *
         Eigen::Quaterniond(Eigen::AngleAxisd(alpha, Eigen::Vector3d::UnitX())) *
         Eigen::Quaterniond(Eigen::AngleAxisd(beta, Eigen::Vector3d::UnitY()));
}

Eigen::Vector3d EulerAngles(const Eigen::Matrix3d& g, int first, int second, int third) {
  const int i = first, j = second, k = third;
  // +1 when (i, j, k) is a cyclic order of (x, y, z), -1 otherwise.
  const double sign = (j - i + 3) % 3 == 1 ? 1.0 : -1.0;
  // g(i, k) = sign x sin t1; g(i, i) and g(i, j) carry cos t1 with t2.
  const double cosMiddle = std::hypot(g(i, i), g(i, j));
  const double middle = std::atan2(sign * g(i, k), cosMiddle);
  if (cosMiddle <= 1e-12) {
    // Gimbal lock: only t0 +- t2 is defined, and row j of g is row j of
    // AA(t2, e_k).
    return {0.0, middle, std::atan2(sign * g(j, i), g(j, j))};
  }
  return {std::atan2(-sign * g(j, k), g(k, k)), middle, std::atan2(-sign * g(i, j), g(i, i))};
}

}  // namespace Processing::Compensation
