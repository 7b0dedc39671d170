#pragma once

#include <cmath>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "processing/compensation/Fits.h"

// Synthetic sensor motion for the field-calibration fits: samples made from a
// chosen calibration, so that the answer a fit must give is known by
// construction. Attitudes take sensor-frame vectors into an earth frame whose
// z axis points up; the field of the northern hemisphere points down.
namespace SyntheticMotion {

using Eigen::Matrix3d;
using Eigen::Vector3d;
using Processing::Compensation::Quaternions;
using Processing::Compensation::Samples;

constexpr double kPi = 3.14159265358979323846;

inline Matrix3d Rotation(double angle, const Vector3d& axis) {
  return Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
}
inline Matrix3d Rx(double a) { return Rotation(a, Vector3d::UnitX()); }
inline Matrix3d Ry(double a) { return Rotation(a, Vector3d::UnitY()); }
inline Matrix3d Rz(double a) { return Rotation(a, Vector3d::UnitZ()); }

inline const Vector3d kEarthField = Vector3d(0.5, 0.1, -0.8).normalized();  // unit length
inline const Vector3d kEarthGravity{0, 0, -1};

// Evenly spread unit vectors (a Fibonacci sphere).
inline std::vector<Vector3d> UnitSphere(int n) {
  std::vector<Vector3d> points;
  const double golden = kPi * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < n; ++i) {
    const double z = 1.0 - 2.0 * (i + 0.5) / n;
    const double r = std::sqrt(1.0 - z * z);
    points.emplace_back(r * std::cos(golden * i), r * std::sin(golden * i), z);
  }
  return points;
}

inline Samples Rows(const std::vector<Vector3d>& points) {
  Samples samples(static_cast<Eigen::Index>(points.size()), 3);
  for (std::size_t i = 0; i < points.size(); ++i) samples.row(static_cast<Eigen::Index>(i)) = points[i].transpose();
  return samples;
}

// Points x with |matrix x (x + shift)| = 1, evenly spread.
inline Samples OnEllipsoid(const Matrix3d& matrix, const Vector3d& shift, int n) {
  std::vector<Vector3d> points;
  for (const auto& u : UnitSphere(n)) points.push_back(matrix.inverse() * u - shift);
  return Rows(points);
}

// Level turns: a circle about centre in the plane z = centre.z.
inline Samples Circle(const Vector3d& centre, double radius, int n) {
  std::vector<Vector3d> points;
  for (int i = 0; i < n; ++i)
    points.push_back(centre + radius * Vector3d(std::cos(2 * kPi * i / n), std::sin(2 * kPi * i / n), 0));
  return Rows(points);
}

inline Eigen::RowVector4d Wxyz(const Matrix3d& attitude) {
  const Eigen::Quaterniond q(attitude);
  return {q.w(), q.x(), q.y(), q.z()};
}

// Upright attitudes of a turn about one sensor axis held vertical.
inline const Matrix3d kXUp = Ry(-kPi / 2), kXDown = Ry(kPi / 2);
inline const Matrix3d kYUp = Rx(kPi / 2), kYDown = Rx(-kPi / 2);
inline const Matrix3d kZUp = Matrix3d::Identity(), kZDown = Rx(kPi);

// A turn about the axis that upright holds vertical, under a constant tilt,
// seen by a magnetometer whose axes are turned by mounting.
inline Processing::Compensation::Turn Turning(const Matrix3d& upright, const Matrix3d& tilt, const Matrix3d& mounting,
                                              int frames = 24) {
  Processing::Compensation::Turn turn{Samples(frames, 3), Quaternions(frames, 4)};
  for (int i = 0; i < frames; ++i) {
    const Matrix3d attitude = tilt * Rz(2 * kPi * i / frames) * upright;
    turn.field.row(i) = (mounting * attitude.transpose() * kEarthField).transpose();
    turn.attitude.row(i) = Wxyz(attitude);
  }
  return turn;
}

// Attitudes over every direction of gravity, headings mixed in, with what a
// sensor measures in each: the field through a soft-iron matrix, a hard-iron
// shift and a magnetometer turned by mounting; acceleration 9.81 against gravity.
struct Tumbling {
  Samples field;
  Samples acceleration;
};

inline Tumbling Tumble(const Matrix3d& mounting, const Matrix3d& softIron, const Vector3d& shift, int frames = 150) {
  std::vector<Vector3d> field, acceleration;
  for (const auto& direction : UnitSphere(frames)) {
    const Matrix3d attitude =
        Eigen::Quaterniond::FromTwoVectors(direction, kEarthGravity).toRotationMatrix() * Rz(3 * direction.x());
    field.push_back(softIron.inverse() * mounting * attitude.transpose() * kEarthField - shift);
    acceleration.push_back(-9.81 * attitude.transpose() * kEarthGravity);
  }
  return {Rows(field), Rows(acceleration)};
}

// Turns through a tilt of up to 20 degrees in a horizontal unit field: nothing
// for the horizontal fit to correct.
struct Levelling {
  Samples field;
  Quaternions attitude;
};

inline Levelling TiltedTurns(int frames = 40) {
  Levelling turns{Samples(frames, 3), Quaternions(frames, 4)};
  for (int i = 0; i < frames; ++i) {
    const Matrix3d attitude = Rz(2 * kPi * i / frames) * Rx(0.35 * std::sin(0.7 * i)) * Ry(0.3 * std::cos(1.3 * i));
    turns.field.row(i) = (attitude.transpose() * Vector3d(0.6, 0.8, 0.0)).transpose();
    turns.attitude.row(i) = Wxyz(attitude);
  }
  return turns;
}

}  // namespace SyntheticMotion
