#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SyntheticMotion.h"
#include "processing/compensation/Fits.h"
#include "processing/compensation/Messages.h"

// Synthetic samples made from a chosen calibration: the fits must give that
// calibration back. Every expected value comes from the construction of the
// samples, none from a run of the fits.
namespace {

using namespace Processing::Compensation;
using namespace SyntheticMotion;

double MaxDifference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) { return (a - b).cwiseAbs().maxCoeff(); }

// Normal noise of the given deviation on every coordinate.
Samples Noisy(Samples samples, double deviation) {
  std::mt19937 generator(7);
  std::normal_distribution<double> normal(0.0, deviation);
  for (Eigen::Index i = 0; i < samples.size(); ++i) samples.data()[i] += normal(generator);
  return samples;
}

struct EllipsoidCase {
  const char* name;
  std::function<Correction(const Samples&)> fit;
  Matrix3d matrix;
  Vector3d shift;
  int samples;
  double noise;
  double tolerance;
};

TEST(EllipsoidFits, GiveBackTheEllipsoidTheSamplesLieOn) {
  const Matrix3d turn = Rotation(0.7, {1, 2, 3});
  const Matrix3d stretched = turn * Vector3d(2.0, 0.5, 1.25).asDiagonal() * turn.transpose();
  const std::vector<EllipsoidCase> cases = {
      {"mag: unit sphere about (1, 2, 3)", FitMag, Matrix3d::Identity(), {-1, -2, -3}, 200, 0, 1e-9},
      {"mag: rotated ellipsoid", FitMag, stretched, {0.3, -0.8, 0.15}, 200, 0, 1e-9},
      {"mag: rotated ellipsoid far off the origin", FitMag, stretched, {4.0, -2.5, 3.0}, 200, 0, 1e-9},
      // A thousandth of the radius of noise moves the fit by less than two
      // thousandths.
      {"mag: rotated ellipsoid, noise 1e-3", FitMag, stretched, {0.3, -0.8, 0.15}, 500, 1e-3, 2e-3},
      {"acc: sphere of radius 9.81 about (0.1, -0.2, 0.05)", FitAcc, Matrix3d::Identity() / 9.81,
       {-0.1, 0.2, -0.05}, 200, 0, 1e-9},
  };
  for (const auto& c : cases) {
    Samples samples = OnEllipsoid(c.matrix, c.shift, c.samples);
    if (c.noise > 0) samples = Noisy(samples, c.noise);
    const Correction got = c.fit(samples);
    EXPECT_LT(MaxDifference(got.matrix, c.matrix), c.tolerance) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), c.tolerance) << c.name << ": shift " << got.shift.transpose();
  }
}

// A disc of points in the plane z = height.
Samples Disc(double height) {
  std::vector<Vector3d> points;
  for (int i = -4; i <= 4; ++i)
    for (int j = -4; j <= 4; ++j) points.emplace_back(0.25 * i + 0.1, 0.2 * j - 0.3, height);
  return Rows(points);
}

Samples Hyperboloid() {
  std::vector<Vector3d> points;
  for (int i = 0; i < 12; ++i)
    for (int j = -3; j <= 3; ++j) {
      const double t = 0.3 * j, a = 2 * kPi * i / 12;
      points.emplace_back(std::cosh(t) * std::cos(a), std::cosh(t) * std::sin(a), std::sinh(t));
    }
  return Rows(points);
}

Turn Level(const Samples& field) {
  Quaternions attitude = Quaternions::Zero(field.rows(), 4);
  attitude.col(0).setOnes();
  return {field, attitude};
}

struct RefusalCase {
  const char* name;
  std::function<void()> fit;
  std::string message;
};

TEST(CompensationFits, RefuseSamplesThatDetermineNoCalibration) {
  const Samples none(0, 3);
  const Samples turnZ = Circle({0.1, 0.2, -0.4}, 0.3, 10);
  const Samples turnX = Rows({{-0.4, 0.1, 0.2}, {-0.4, -0.2, 0.3}, {-0.4, 0.3, -0.1}, {-0.4, 0.0, -0.3},
                              {-0.4, 0.25, 0.05}, {-0.4, -0.1, -0.2}, {-0.4, 0.2, 0.2}, {-0.4, -0.3, 0.1},
                              {-0.4, 0.05, 0.3}, {-0.4, 0.15, -0.25}});
  const std::vector<RefusalCase> cases = {
      {"acc, no frames", [&] { FitAcc(none); }, Message::kCannotFit},
      {"mag, no frames", [&] { FitMag(none); }, Message::kCannotFit},
      {"npoints, no frames", [&] { FitNPoints(none, none); }, Message::kCannotFit},
      {"mag2d, no frames", [&] { FitMag2D(none, Quaternions(0, 4)); }, Message::kCannotFit},
      {"gyr, no frames", [&] { FitGyr(none); }, Message::kTooLittleData},
      {"mag, plane z = 0", [&] { FitMag(Disc(0.0)); }, Message::kCannotFit},
      // Passes the determinant test of the quadratic terms.
      {"mag, plane z = 2", [&] { FitMag(Disc(2.0)); }, Message::kCannotFit},
      {"acc, circle at z = 2", [&] { FitAcc(Circle({0.5, 0.3, 2.0}, 1.0, 24)); }, Message::kCannotFit},
      {"acc, circle at z = 0", [&] { FitAcc(Circle({0.5, 0.3, 0.0}, 1.0, 24)); }, Message::kCannotFit},
      {"mag, hyperboloid", [&] { FitMag(Hyperboloid()); }, Message::kNoEllipsoid},
      {"npoints, a frame without acceleration",
       [&] {
         Samples acceleration = Rows(UnitSphere(100));
         acceleration.row(40).setZero();
         FitNPoints(Rows(UnitSphere(100)), acceleration);
       },
       Message::kBadData},
      {"planes, two turns", [&] { FitPlanes({Level(turnZ), Level(turnX)}); }, Message::kTooLittleData},
      {"planes, 10, 10 and 11 frames",
       [&] { FitPlanes({Level(turnZ), Level(turnX), Level(Circle({0.1, -0.4, 0.2}, 0.3, 11))}); }, Message::kBadData},
      {"planes, two turns about z",
       [&] { FitPlanes({Level(turnZ), Level(turnX), Level(Circle({0.3, 0.0, 0.5}, 0.2, 10))}); }, Message::kBadAxis},
      {"planes, a turn without field along its axis",
       [&] { FitPlanes({Level(Circle({0.1, 0.2, 0.0}, 0.3, 10)), Level(turnX), Level(turnZ)}); }, Message::kBadData},
      {"planes, no frames", [&] { FitPlanes({Level(none), Level(none), Level(none)}); }, Message::kTooLittleData},
  };
  for (const auto& c : cases) {
    try {
      c.fit();
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(e.what(), c.message) << c.name;
    }
  }
}

TEST(NPointsFit, GivesTheEllipsoidShiftAndTheRotationOfTheFieldOntoGravity) {
  struct Case {
    const char* name;
    Matrix3d mounting;
    Matrix3d softIron;
    Vector3d shift;
  };
  const Matrix3d turn = Rotation(-0.4, {0.2, 1, -0.5});
  const std::vector<Case> cases = {
      {"sphere", Rz(0.03) * Rx(-0.02) * Ry(0.04), Matrix3d::Identity(), {0.1, -0.2, 0.3}},
      {"rotated ellipsoid far off the origin", Rz(-0.1) * Rx(0.05) * Ry(0.08),
       turn * Vector3d(1.6, 0.7, 1.1).asDiagonal() * turn.transpose(), {2.0, -1.5, 0.7}},
  };
  for (const auto& c : cases) {
    const Tumbling motion = Tumble(c.mounting, c.softIron, c.shift);
    const Correction got = FitNPoints(motion.field, motion.acceleration);
    // Only the rotation is kept, whatever the ellipsoid's shape.
    EXPECT_LT(MaxDifference(got.matrix, c.mounting.transpose()), 1e-9) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), 1e-9) << c.name << ": shift " << got.shift.transpose();
  }
}

TEST(Mag2DFit, GivesTheHorizontalCorrectionAndLeavesZAlone) {
  struct Case {
    const char* name;
    Samples field;
    Quaternions attitude;
    Matrix3d matrix;
    Vector3d shift;
  };
  std::vector<Case> cases;

  // 12 points evenly on a circle of radius 1 about (1, -2), level.
  const Turn circle = Level(Circle({1, -2, 0}, 1.0, 12));
  cases.push_back({"circle about (1, -2)", circle.field, circle.attitude, Matrix3d::Identity(), {-1, 2, 0}});

  // Level turns through soft and hard iron in x and y, a field 0.6 down: the
  // horizontal radius of the unit field is r = sqrt(1 - 0.6^2) = 0.8, and the
  // fit maps the horizontal field onto a circle of radius sqrt(r).
  const Eigen::Matrix2d softIron = (Eigen::Matrix2d() << 1.3, 0.2, 0.2, 0.9).finished();
  Case iron{"level turns, soft and hard iron", Samples(36, 3), Quaternions(36, 4), Matrix3d::Identity(),
            {0.4, -0.25, 0}};
  iron.matrix.topLeftCorner<2, 2>() = softIron * std::sqrt(0.8) / 0.8;
  for (int i = 0; i < 36; ++i) {
    const Matrix3d attitude = Rz(2 * kPi * i / 36);
    const Vector3d sensed = attitude.transpose() * Vector3d(0.8, 0.0, -0.6);
    iron.field.row(i) << (softIron.inverse() * sensed.head<2>() - iron.shift.head<2>()).transpose(), sensed.z();
    iron.attitude.row(i) = Wxyz(attitude);
  }
  cases.push_back(iron);

  // The levelling must take every sample back onto the unit circle.
  const Levelling tilted = TiltedTurns();
  cases.push_back({"tilted turns, nothing to correct", tilted.field, tilted.attitude, Matrix3d::Identity(),
                   Vector3d::Zero()});

  for (const auto& c : cases) {
    const Correction got = FitMag2D(c.field, c.attitude);
    EXPECT_LT(MaxDifference(got.matrix, c.matrix), 1e-9) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), 1e-9) << c.name << ": shift " << got.shift.transpose();
    EXPECT_EQ(got.matrix.row(2), Eigen::RowVector3d(0, 0, 1)) << c.name;
    EXPECT_EQ(got.matrix.col(2), Vector3d(0, 0, 1)) << c.name;
    EXPECT_EQ(got.shift.z(), 0.0) << c.name;
  }
}

TEST(PlanesFit, UndoesTheMagnetometerMountingFromTurnsAboutTheThreeAxes) {
  const Matrix3d mounting = Rz(0.03) * Rx(-0.02) * Ry(0.04);
  const Matrix3d level = Matrix3d::Identity(), tilt = Rx(0.05) * Ry(-0.03);
  struct Case {
    const char* name;
    std::vector<Turn> turns;
  };
  const std::vector<Case> cases = {
      {"x, y, z up", {Turning(kXUp, level, mounting), Turning(kYUp, level, mounting), Turning(kZUp, level, mounting)}},
      {"x, y, z down",
       {Turning(kXDown, level, mounting), Turning(kYDown, level, mounting), Turning(kZDown, level, mounting)}},
      {"z up, x down, y up, tilted",
       {Turning(kZUp, tilt, mounting), Turning(kXDown, tilt, mounting), Turning(kYUp, tilt, mounting)}},
      {"a fourth turn is not read",
       {Turning(kXUp, level, mounting), Turning(kYDown, tilt, mounting), Turning(kZUp, level, mounting),
        Turning(kZUp, tilt, Rx(0.5))}},
  };
  for (const auto& c : cases) {
    const Matrix3d got = FitPlanes(c.turns);
    EXPECT_LT(MaxDifference(got, mounting.transpose()), 1e-9) << c.name << ":\n" << got;
  }
}

}  // namespace
