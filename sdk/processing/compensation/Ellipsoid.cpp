#include "processing/compensation/Ellipsoid.h"

#include <cmath>
#include <stdexcept>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>

#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"

namespace Processing::Compensation {

namespace {

// Below this the samples are taken to lie on no ellipsoid (determinant of the
// normal matrix block of the quadratic terms x^2, y^2, z^2, 2xy).
constexpr double kQuadraticDeterminantMin = 1e-4;

}  // namespace

Correction FitEllipsoid(const Samples& samples, const char* failure) {
  const Eigen::Index n = samples.rows();
  const auto x = samples.col(0).array();
  const auto y = samples.col(1).array();
  const auto z = samples.col(2).array();
  Eigen::MatrixXd design(n, 9);
  design.col(0) = x.square().matrix();
  design.col(1) = y.square().matrix();
  design.col(2) = z.square().matrix();
  design.col(3) = (2 * x * y).matrix();
  design.col(4) = (2 * x * z).matrix();
  design.col(5) = (2 * y * z).matrix();
  design.col(6) = (2 * x).matrix();
  design.col(7) = (2 * y).matrix();
  design.col(8) = (2 * z).matrix();

  const Eigen::Matrix4d quadratic = design.leftCols<4>().transpose() * design.leftCols<4>();
  // Written so that a NaN determinant fails too.
  if (!(std::abs(quadratic.determinant()) >= kQuadraticDeterminantMin)) throw std::logic_error(failure);

  // The determinant test misses other degenerate sets (a plane z = c != 0
  // makes z^2 and z dependent), which the rank of the design matrix shows.
  const auto k = SolveFullRank(design, Eigen::VectorXd::Ones(n));
  if (!k) throw std::logic_error(failure);

  Eigen::Matrix3d a;
  a << (*k)(0), (*k)(3), (*k)(4),
       (*k)(3), (*k)(1), (*k)(5),
       (*k)(4), (*k)(5), (*k)(2);
  const Eigen::Vector3d b = k->tail<3>();
  Eigen::FullPivLU<Eigen::Matrix3d> lu(a);
  lu.setThreshold(kRankTolerance);
  if (!lu.isInvertible()) throw std::logic_error(failure);

  Correction fit;
  fit.shift = lu.solve(b);
  const Eigen::Matrix3d q = a / (b.dot(fit.shift) + 1);
  // q is symmetric: the self-adjoint solver keeps its eigenvectors orthonormal
  // also for equal eigenvalues (a sphere), where a general solver need not.
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(q);
  if (!q.allFinite() || !fit.shift.allFinite() || eigen.info() != Eigen::Success) throw std::logic_error(failure);
  const Eigen::Vector3d& values = eigen.eigenvalues();
  if (values.minCoeff() < 0) throw std::logic_error(Message::kNoEllipsoid);

  const Eigen::Matrix3d& vectors = eigen.eigenvectors();
  fit.matrix = vectors * values.cwiseSqrt().asDiagonal() * vectors.transpose();
  if (!fit.matrix.allFinite()) throw std::logic_error(failure);
  return fit;
}

Correction FitEllipsoidTwice(const Samples& samples, SecondPass when) {
  const Correction first = FitEllipsoid(samples, Message::kCannotFit);
  const double lever = (first.matrix * first.shift).norm();
  if (when == SecondPass::FromHalf ? lever < 0.5 : lever <= 0.5) return first;

  const Correction second =
      FitEllipsoid(TransformSamples(samples, Eigen::Matrix3d::Identity(), -first.shift), Message::kCannotFitSecondPass);
  return {second.matrix, first.shift + second.shift};
}

}  // namespace Processing::Compensation
