#include <cmath>
#include <stdexcept>
#include <vector>

#include <Eigen/LU>

#include "processing/compensation/Fits.h"
#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"
#include "processing/compensation/Quadric.h"
#include "processing/compensation/Rotations.h"

namespace Processing::Compensation {

namespace {

// Horizontal radius assumed when the vertical components leave none: sin 23 deg.
constexpr double kFallbackRadius = 0.39073112848927377;

// The ellipse of the samples' x and y, mapped onto a circle whose size follows
// from the horizontal radius that the mean square z leaves of a unit field.
QuadricMap<2> FitHorizontalEllipse(const Samples& samples, const char* failure) {
  const double horizontal = 1.0 - samples.col(2).squaredNorm() / static_cast<double>(samples.rows());
  const double radius = horizontal > 0 ? std::sqrt(horizontal) : kFallbackRadius;
  return FitQuadric<2>(samples.leftCols<2>(), radius, failure);
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

  const QuadricMap<2> first = FitHorizontalEllipse(levelled, Message::kCannotFit);
  Correction fit;
  fit.shift << first.shift, 0;
  const QuadricMap<2> second = FitHorizontalEllipse(
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
