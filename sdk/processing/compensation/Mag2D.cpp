#include <cmath>
#include <stdexcept>
#include <vector>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>

#include "processing/compensation/Fits.h"
#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"
#include "processing/compensation/Rotations.h"

namespace Processing::Compensation {

namespace {

// Below this the levelled samples are taken to lie on no ellipse (determinant
// of the normal matrix block of the quadratic terms x^2, y^2, 2xy).
constexpr double kQuadraticDeterminantMin = 1e-4;
// Horizontal radius assumed when the vertical components leave none: sin 23 deg.
constexpr double kFallbackRadius = 0.39073112848927377;

struct PlaneCorrection {
  Eigen::Matrix2d matrix;
  Eigen::Vector2d shift;
};

// Fits x^T A x + 2 b^T x = 1 to the x and y of the samples and scales the map
// by the horizontal radius that the mean square z leaves of a unit field.
PlaneCorrection FitHorizontalEllipse(const Samples& samples, const char* failure) {
  const Eigen::Index n = samples.rows();
  const auto x = samples.col(0).array();
  const auto y = samples.col(1).array();
  Eigen::MatrixXd design(n, 5);
  design.col(0) = x.square().matrix();
  design.col(1) = y.square().matrix();
  design.col(2) = (2 * x * y).matrix();
  design.col(3) = (2 * x).matrix();
  design.col(4) = (2 * y).matrix();

  const double horizontal = 1.0 - samples.col(2).squaredNorm() / static_cast<double>(n);
  const double radius = horizontal > 0 ? std::sqrt(horizontal) : kFallbackRadius;

  const Eigen::Matrix3d quadratic = design.leftCols<3>().transpose() * design.leftCols<3>();
  if (!(std::abs(quadratic.determinant()) >= kQuadraticDeterminantMin)) throw std::logic_error(failure);
  const auto k = SolveFullRank(design, Eigen::VectorXd::Ones(n));
  if (!k) throw std::logic_error(failure);

  Eigen::Matrix2d a;
  a << (*k)(0), (*k)(2),
       (*k)(2), (*k)(1);
  const Eigen::Vector2d b = k->tail<2>();
  Eigen::FullPivLU<Eigen::Matrix2d> lu(a);
  lu.setThreshold(kRankTolerance);
  if (!lu.isInvertible()) throw std::logic_error(failure);

  PlaneCorrection fit;
  fit.shift = lu.solve(b);
  const Eigen::Matrix2d q = a * radius / (b.dot(fit.shift) + 1);
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> eigen(q);
  if (!q.allFinite() || !fit.shift.allFinite() || eigen.info() != Eigen::Success) throw std::logic_error(failure);
  const Eigen::Vector2d& values = eigen.eigenvalues();
  if (values.minCoeff() < 0) throw std::logic_error(Message::kNoEllipsoid);
  const Eigen::Matrix2d& vectors = eigen.eigenvectors();
  fit.matrix = vectors * values.cwiseSqrt().asDiagonal() * vectors.transpose();
  if (!fit.matrix.allFinite()) throw std::logic_error(failure);
  return fit;
}

// The attitude without its heading: Rx(tx) Ry(ty) of G = Rz(tz) Rx(tx) Ry(ty).
Eigen::Matrix3d Levelling(const Eigen::Vector4d& attitude) {
  const Eigen::Vector3d angles = EulerAngles(RotationOf(attitude), 2, 0, 1);
  const double tx = angles(1), ty = angles(2);
  return (Eigen::Quaterniond(std::cos(tx / 2), std::sin(tx / 2), 0, 0) *
          Eigen::Quaterniond(std::cos(ty / 2), 0, std::sin(ty / 2), 0))
      .toRotationMatrix();
}

}  // namespace

Correction FitMag2D(const Samples& field, const Quaternions& attitude) {
  const Eigen::Index n = field.rows();
  std::vector<Eigen::Matrix3d> levelling(static_cast<std::size_t>(n));
  Samples levelled(n, 3);
  for (Eigen::Index i = 0; i < n; ++i) {
    auto& c = levelling[static_cast<std::size_t>(i)];
    c = Levelling(attitude.row(i).transpose());
    levelled.row(i) = (c * field.row(i).transpose()).transpose();
  }

  const PlaneCorrection first = FitHorizontalEllipse(levelled, Message::kCannotFit);
  Correction fit;
  fit.shift << first.shift, 0;
  const PlaneCorrection second = FitHorizontalEllipse(
      TransformSamples(levelled, Eigen::Matrix3d::Identity(), -fit.shift), Message::kCannotFitSecondPass);
  fit.shift.head<2>() += second.shift;
  fit.matrix.topLeftCorner<2, 2>() = second.matrix;

  // Back to the sensor frame, then the affine map from the raw x and y there.
  const Samples corrected = TransformSamples(levelled, fit.matrix, -fit.shift);
  Samples back(n, 3);
  for (Eigen::Index i = 0; i < n; ++i)
    back.row(i) = (levelling[static_cast<std::size_t>(i)].transpose() * corrected.row(i).transpose()).transpose();
  Eigen::MatrixXd design(n, 3);
  design.leftCols<2>() = field.leftCols<2>();
  design.col(2).setOnes();
  const auto solved = SolveBySvd(design, back);
  if (!solved) throw std::logic_error(Message::kBadData);
  const Eigen::Matrix3d w = *solved;

  fit.matrix.topLeftCorner<2, 2>() = w.topLeftCorner<2, 2>().transpose();
  Eigen::FullPivLU<Eigen::Matrix3d> lu(fit.matrix);
  lu.setThreshold(kRankTolerance);
  if (!lu.isInvertible()) throw std::logic_error(Message::kBadData);
  fit.shift = lu.inverse() * Eigen::Vector3d(w(2, 0), w(2, 1), 0);
  if (!fit.matrix.allFinite() || !fit.shift.allFinite()) throw std::logic_error(Message::kBadData);
  return fit;
}

}  // namespace Processing::Compensation
