#include <array>
#include <cmath>

#include <gtest/gtest.h>

#include "processing/compensation/Rotations.h"

namespace {

using Processing::Compensation::EulerAngles;

constexpr double kPi = 3.14159265358979323846;

Eigen::Matrix3d Compose(const std::array<int, 3>& axes, const Eigen::Vector3d& angles) {
  Eigen::Matrix3d g = Eigen::Matrix3d::Identity();
  for (int n = 0; n < 3; ++n) g = g * Eigen::AngleAxisd(angles(n), Eigen::Vector3d::Unit(axes[n])).toRotationMatrix();
  return g;
}

const std::array<std::array<int, 3>, 6> kOrders{{{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};

// Inside the ranges the angles are unique, so each comes back as it went in;
// the first angle is negative or beyond pi/2 in some, where a decomposition
// that keeps it in [0, pi] would move the middle one out of [-pi/2, pi/2].
TEST(EulerAngles, GiveBackAnglesWithTheMiddleOneInMinusHalfPiToHalfPi) {
  const std::array<Eigen::Vector3d, 5> angleSets{{
      {0.3, -0.4, 1.2},
      {-2.0, 0.7, -2.9},
      {2.5, -1.4, 0.1},
      {3.0, 1.2, -3.0},
      {-0.6, 0.0, 2.2},
  }};
  for (const auto& axes : kOrders)
    for (const auto& angles : angleSets) {
      const Eigen::Vector3d got = EulerAngles(Compose(axes, angles), axes[0], axes[1], axes[2]);
      EXPECT_LT((got - angles).cwiseAbs().maxCoeff(), 1e-12)
          << "axes " << axes[0] << axes[1] << axes[2] << ": set " << angles.transpose() << ", got "
          << got.transpose();
    }
}

TEST(EulerAngles, PutTheWholeTurnIntoTheLastAngleAtGimbalLock) {
  for (const auto& axes : kOrders)
    for (const double middle : {kPi / 2, -kPi / 2}) {
      const Eigen::Matrix3d g = Compose(axes, {0.5, middle, -1.1});
      const Eigen::Vector3d got = EulerAngles(g, axes[0], axes[1], axes[2]);
      EXPECT_EQ(got(0), 0.0) << "axes " << axes[0] << axes[1] << axes[2];
      EXPECT_NEAR(got(1), middle, 1e-12) << "axes " << axes[0] << axes[1] << axes[2];
      EXPECT_LT((Compose(axes, got) - g).cwiseAbs().maxCoeff(), 1e-12)
          << "axes " << axes[0] << axes[1] << axes[2] << ", middle " << middle << ": got " << got.transpose();
    }
}

}  // namespace
