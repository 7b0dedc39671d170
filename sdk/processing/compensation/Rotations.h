#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

// Rotations of the compensation fits. All are right-handed and act on column
// vectors from the left. A recorded attitude quaternion (w, x, y, z here; the
// output frame stores x, y, z, w) takes sensor-frame vectors into the earth
// frame.
namespace Processing::Compensation {

// The rotation matrix of q by the unit-quaternion formula, without normalising
// q first.
Eigen::Matrix3d RotationOf(const Eigen::Vector4d& wxyz);

// AA(gamma, ez) x AA(alpha, ex) x AA(beta, ey), composed as quaternions.
Eigen::Quaterniond RotationZxy(double gamma, double alpha, double beta);

// Angles (t0, t1, t2) with G = AA(t0, e_first) x AA(t1, e_second) x
// AA(t2, e_third) for three different axes (0 x, 1 y, 2 z): t1 in
// [-pi/2, pi/2], t0 and t2 in [-pi, pi]. When cos t1 is not above 1e-12, t0 is
// 0 and t2 carries the rest of the rotation about the first and third axes.
Eigen::Vector3d EulerAngles(const Eigen::Matrix3d& g, int first, int second, int third);

}  // namespace Processing::Compensation
