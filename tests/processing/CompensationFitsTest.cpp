#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "processing/compensation/Fits.h"
#include "processing/compensation/Messages.h"

// Synthetic samples made from a chosen calibration: the fits must give that
// calibration back. Every expected value comes from the construction of the
// samples, none from a run of the fits.
namespace {

using namespace Processing::Compensation;
using Eigen::Matrix3d;
using Eigen::Vector3d;

constexpr double kPi = 3.14159265358979323846;

Matrix3d Rotation(double angle, const Vector3d& axis) { return Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix(); }
Matrix3d Rz(double a) { return Rotation(a, Vector3d::UnitZ()); }
Matrix3d Rx(double a) { return Rotation(a, Vector3d::UnitX()); }
Matrix3d Ry(double a) { return Rotation(a, Vector3d::UnitY()); }

// Evenly spread unit vectors (a Fibonacci sphere).
std::vector<Vector3d> UnitSphere(int n) {
  std::vector<Vector3d> points;
  const double golden = kPi * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < n; ++i) {
    const double z = 1.0 - 2.0 * (i + 0.5) / n;
    const double r = std::sqrt(1.0 - z * z);
    points.emplace_back(r * std::cos(golden * i), r * std::sin(golden * i), z);
  }
  return points;
}

Samples Rows(const std::vector<Vector3d>& points) {
  Samples samples(static_cast<Eigen::Index>(points.size()), 3);
  for (std::size_t i = 0; i < points.size(); ++i) samples.row(static_cast<Eigen::Index>(i)) = points[i].transpose();
  return samples;
}

// Samples x with |matrix x (x + shift)| = 1, plus normal noise of the given
// deviation on every coordinate.
Samples OnEllipsoid(const Matrix3d& matrix, const Vector3d& shift, int n, double noise = 0.0) {
  std::mt19937 generator(7);
  std::normal_distribution<double> normal(0.0, noise > 0 ? noise : 1.0);
  std::vector<Vector3d> points;
  for (const auto& u : UnitSphere(n)) {
    Vector3d x = matrix.inverse() * u - shift;
    if (noise > 0) x += Vector3d(normal(generator), normal(generator), normal(generator));
    points.push_back(x);
  }
  return Rows(points);
}

double MaxDifference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) { return (a - b).cwiseAbs().maxCoeff(); }

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
    const Correction got = c.fit(OnEllipsoid(c.matrix, c.shift, c.samples, c.noise));
    EXPECT_LT(MaxDifference(got.matrix, c.matrix), c.tolerance) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), c.tolerance) << c.name << ": shift " << got.shift.transpose();
  }
}

// Turns about the sensor's z axis, level: a circle in the plane z = height.
Samples Circle(const Vector3d& centre, double radius, int n) {
  std::vector<Vector3d> points;
  for (int i = 0; i < n; ++i)
    points.push_back(centre + radius * Vector3d(std::cos(2 * kPi * i / n), std::sin(2 * kPi * i / n), 0));
  return Rows(points);
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

Quaternions Level(Eigen::Index n) {
  Quaternions q = Quaternions::Zero(n, 4);
  q.col(0).setOnes();
  return q;
}

struct RefusalCase {
  const char* name;
  std::function<void()> fit;
  std::string message;
};

TEST(CompensationFits, RefuseSamplesThatDetermineNoCalibration) {
  const Samples none(0, 3);
  const Samples circleZ0 = Circle({0.5, 0.3, 0.0}, 1.0, 24);
  const Samples circleZ2 = Circle({0.5, 0.3, 2.0}, 1.0, 24);
  const auto turn = [](const Samples& field) { return Turn{field, Level(field.rows())}; };
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
      {"mag, plane z = 2", [&] { FitMag(Disc(2.0)); }, Message::kCannotFit},
      {"acc, circle at z = 2", [&] { FitAcc(circleZ2); }, Message::kCannotFit},
      {"acc, circle at z = 0", [&] { FitAcc(circleZ0); }, Message::kCannotFit},
      {"mag, hyperboloid", [&] { FitMag(Hyperboloid()); }, Message::kNoEllipsoid},
      {"npoints, a frame without acceleration",
       [&] {
         Samples acceleration = Rows(UnitSphere(100));
         acceleration.row(40).setZero();
         FitNPoints(Rows(UnitSphere(100)), acceleration);
       },
       Message::kBadData},
      {"planes, two turns", [&] { FitPlanes({turn(turnZ), turn(turnX)}); }, Message::kTooLittleData},
      {"planes, 10, 10 and 11 frames",
       [&] { FitPlanes({turn(turnZ), turn(turnX), turn(Circle({0.1, -0.4, 0.2}, 0.3, 11)) }); }, Message::kBadData},
      {"planes, two turns about z",
       [&] { FitPlanes({turn(turnZ), turn(turnX), turn(Circle({0.3, 0.0, 0.5}, 0.2, 10))}); }, Message::kBadAxis},
      {"planes, a turn without field along its axis",
       [&] { FitPlanes({turn(Circle({0.1, 0.2, 0.0}, 0.3, 10)), turn(turnX), turn(turnZ)}); }, Message::kBadData},
      {"planes, no frames", [&] { FitPlanes({turn(none), turn(none), turn(none)}); }, Message::kTooLittleData},
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

// One frame of a sensor: its attitude (sensor to earth) and what it measures.
struct Frame {
  Matrix3d attitude;
  Vector3d field;
  Vector3d acceleration;
};

Eigen::RowVector4d Wxyz(const Matrix3d& attitude) {
  const Eigen::Quaterniond q(attitude);
  return {q.w(), q.x(), q.y(), q.z()};
}

// The earth's field, unit length, and its gravity direction; the earth frame's
// z axis points up, so the field of the northern hemisphere points down.
const Vector3d kEarthField = Vector3d(0.5, 0.1, -0.8).normalized();
const Vector3d kEarthGravity(0, 0, -1);

TEST(NPointsFit, GivesTheEllipsoidShiftAndTheRotationOfTheFieldOntoGravity) {
  // The magnetometer's axes are turned by mounting against the accelerometer's,
  // and it sees its field through a soft-iron ellipsoid and a hard-iron shift.
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
    std::vector<Vector3d> field, acceleration;
    for (const auto& direction : UnitSphere(150)) {
      // Attitudes spread over all directions of gravity, headings mixed in.
      const Matrix3d attitude =
          Eigen::Quaterniond::FromTwoVectors(direction, kEarthGravity).toRotationMatrix() * Rz(3 * direction.x());
      field.push_back(c.softIron.inverse() * c.mounting * attitude.transpose() * kEarthField - c.shift);
      acceleration.push_back(-9.81 * attitude.transpose() * kEarthGravity);
    }
    const Correction got = FitNPoints(Rows(field), Rows(acceleration));
    EXPECT_LT(MaxDifference(got.matrix, c.mounting.transpose()), 1e-9) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), 1e-9) << c.name << ": shift " << got.shift.transpose();
  }
}

TEST(Mag2DFit, GivesTheHorizontalCorrectionAndLeavesZAlone) {
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    Matrix3d matrix;
    Vector3d shift;
  };
  std::vector<Case> cases;

  // 12 points evenly on a circle of radius 1 about (1, -2), level.
  Case circle{"circle about (1, -2)", {}, Matrix3d::Identity(), {-1, 2, 0}};
  for (int i = 0; i < 12; ++i)
    circle.frames.push_back(
        {Matrix3d::Identity(), {1 + std::cos(2 * kPi * i / 12), -2 + std::sin(2 * kPi * i / 12), 0}, {}});
  cases.push_back(circle);

  // Level turns through soft and hard iron in x and y, a field 0.6 down: the
  // horizontal radius of the unit field is r = sqrt(1 - 0.6^2) = 0.8, and the
  // fit maps the horizontal field onto a circle of radius sqrt(r).
  const Eigen::Matrix2d softIron = (Eigen::Matrix2d() << 1.3, 0.2, 0.2, 0.9).finished();
  Case iron{"level turns, soft and hard iron", {}, Matrix3d::Identity(), {0.4, -0.25, 0}};
  iron.matrix.topLeftCorner<2, 2>() = softIron * std::sqrt(0.8) / 0.8;
  for (int i = 0; i < 36; ++i) {
    const double heading = 2 * kPi * i / 36;
    const Vector3d sensed = Rz(heading).transpose() * Vector3d(0.8, 0.0, -0.6);
    Vector3d raw;
    raw << softIron.inverse() * sensed.head<2>() - iron.shift.head<2>(), sensed.z();
    iron.frames.push_back({Rz(heading), raw, {}});
  }
  cases.push_back(iron);

  // Tilted turns in a horizontal field, nothing to correct: the levelling must
  // take every sample back onto the unit circle.
  Case tilted{"tilted turns, nothing to correct", {}, Matrix3d::Identity(), Vector3d::Zero()};
  for (int i = 0; i < 40; ++i) {
    const Matrix3d attitude = Rz(2 * kPi * i / 40) * Rx(0.35 * std::sin(0.7 * i)) * Ry(0.3 * std::cos(1.3 * i));
    tilted.frames.push_back({attitude, attitude.transpose() * Vector3d(0.6, 0.8, 0.0), {}});
  }
  cases.push_back(tilted);

  for (const auto& c : cases) {
    Samples field(static_cast<Eigen::Index>(c.frames.size()), 3);
    Quaternions attitude(field.rows(), 4);
    for (Eigen::Index i = 0; i < field.rows(); ++i) {
      field.row(i) = c.frames[static_cast<std::size_t>(i)].field.transpose();
      attitude.row(i) = Wxyz(c.frames[static_cast<std::size_t>(i)].attitude);
    }
    const Correction got = FitMag2D(field, attitude);
    EXPECT_LT(MaxDifference(got.matrix, c.matrix), 1e-9) << c.name << ": matrix\n" << got.matrix;
    EXPECT_LT(MaxDifference(got.shift, c.shift), 1e-9) << c.name << ": shift " << got.shift.transpose();
    EXPECT_EQ(got.matrix.row(2), Eigen::RowVector3d(0, 0, 1)) << c.name;
    EXPECT_EQ(got.matrix.col(2), Vector3d(0, 0, 1)) << c.name;
    EXPECT_EQ(got.shift.z(), 0.0) << c.name;
  }
}

// A turn of the sensor about its axis held vertical (upright: pointing up),
// with a small constant tilt, seen by a magnetometer turned by mounting.
Turn Recording(const Matrix3d& upright, const Matrix3d& tilt, const Matrix3d& mounting, int frames = 24) {
  Turn turn{Samples(frames, 3), Quaternions(frames, 4)};
  for (int i = 0; i < frames; ++i) {
    const Matrix3d attitude = tilt * Rz(2 * kPi * i / frames) * upright;
    turn.field.row(i) = (mounting * attitude.transpose() * kEarthField).transpose();
    turn.attitude.row(i) = Wxyz(attitude);
  }
  return turn;
}

TEST(PlanesFit, UndoesTheMagnetometerMountingFromTurnsAboutTheThreeAxes) {
  const Matrix3d mounting = Rz(0.03) * Rx(-0.02) * Ry(0.04);
  const Matrix3d xUp = Ry(-kPi / 2), xDown = Ry(kPi / 2);
  const Matrix3d yUp = Rx(kPi / 2), yDown = Rx(-kPi / 2);
  const Matrix3d zUp = Matrix3d::Identity(), zDown = Rx(kPi);
  const Matrix3d level = Matrix3d::Identity(), tilt = Rx(0.05) * Ry(-0.03);
  struct Case {
    const char* name;
    std::vector<Turn> turns;
  };
  const std::vector<Case> cases = {
      {"x, y, z up", {Recording(xUp, level, mounting), Recording(yUp, level, mounting), Recording(zUp, level, mounting)}},
      {"x, y, z down", {Recording(xDown, level, mounting), Recording(yDown, level, mounting), Recording(zDown, level, mounting)}},
      {"z up, x down, y up, tilted",
       {Recording(zUp, tilt, mounting), Recording(xDown, tilt, mounting), Recording(yUp, tilt, mounting)}},
      {"a fourth turn is not read",
       {Recording(xUp, level, mounting), Recording(yDown, tilt, mounting), Recording(zUp, level, mounting),
        Recording(zUp, tilt, Rx(0.5))}},
  };
  for (const auto& c : cases) {
    const Matrix3d got = FitPlanes(c.turns);
    EXPECT_LT(MaxDifference(got, mounting.transpose()), 1e-9) << c.name << ":\n" << got;
  }
}

}  // namespace
