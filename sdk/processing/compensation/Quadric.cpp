#include "processing/compensation/Quadric.h"

#include <cmath>
#include <stdexcept>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>

#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"

namespace Processing::Compensation {

namespace {

// Below this the points are taken to lie on no quadric: the determinant of the
// normal matrix block of the squares and the first cross term (x^2, y^2, z^2,
// 2xy; x^2, y^2, 2xy in the plane).
constexpr double kQuadraticDeterminantMin = 1e-4;

}  // namespace

template <int D>
QuadricMap<D> FitQuadric(const Eigen::Matrix<double, Eigen::Dynamic, D>& points, double scale, const char* failure) {
  using Matrix = Eigen::Matrix<double, D, D>;
  using Vector = Eigen::Matrix<double, D, 1>;
  constexpr int kCross = D * (D - 1) / 2;
  constexpr int kTerms = D + kCross + D;

  // Columns: the squares, twice the cross terms (xy, xz, yz), twice the
  // coordinates.
  const Eigen::Index n = points.rows();
  Eigen::MatrixXd design(n, kTerms);
  int column = 0;
  for (int i = 0; i < D; ++i) design.col(column++) = points.col(i).array().square().matrix();
  for (int i = 0; i < D; ++i)
    for (int j = i + 1; j < D; ++j) design.col(column++) = 2 * points.col(i).cwiseProduct(points.col(j));
  for (int i = 0; i < D; ++i) design.col(column++) = 2 * points.col(i);

  const auto block = design.leftCols(D + 1);
  const Eigen::Matrix<double, D + 1, D + 1> quadratic = block.transpose() * block;
  // Written so that a NaN determinant fails too.
  if (!(std::abs(quadratic.determinant()) >= kQuadraticDeterminantMin)) throw std::logic_error(failure);

  // The determinant test misses other degenerate sets (a plane z = c != 0
  // makes z^2 and z dependent), which the rank of the design shows.
  const auto k = SolveFullRank(design, Eigen::VectorXd::Ones(n));
  if (!k) throw std::logic_error(failure);

  Matrix a;
  column = D;
  for (int i = 0; i < D; ++i) a(i, i) = (*k)(i);
  for (int i = 0; i < D; ++i)
    for (int j = i + 1; j < D; ++j) a(i, j) = a(j, i) = (*k)(column++);
  const Vector b = k->template tail<D>();
  Eigen::FullPivLU<Matrix> lu(a);
  lu.setThreshold(kRankTolerance);
  if (!lu.isInvertible()) throw std::logic_error(failure);

  QuadricMap<D> fit;
  fit.shift = lu.solve(b);
  const Matrix q = a * scale / (b.dot(fit.shift) + 1);
  // q is symmetric: the self-adjoint solver keeps its eigenvectors orthonormal
  // also for equal eigenvalues (a sphere), where a general solver need not.
  const Eigen::SelfAdjointEigenSolver<Matrix> eigen(q);
  if (!q.allFinite() || !fit.shift.allFinite() || eigen.info() != Eigen::Success) throw std::logic_error(failure);
  const Vector& values = eigen.eigenvalues();
  if (values.minCoeff() < 0) throw std::logic_error(Message::kNoEllipsoid);

  const Matrix& vectors = eigen.eigenvectors();
  fit.matrix = vectors * values.cwiseSqrt().asDiagonal() * vectors.transpose();
  if (!fit.matrix.allFinite()) throw std::logic_error(failure);
  return fit;
}

template QuadricMap<2> FitQuadric<2>(const Eigen::Matrix<double, Eigen::Dynamic, 2>&, double, const char*);
template QuadricMap<3> FitQuadric<3>(const Eigen::Matrix<double, Eigen::Dynamic, 3>&, double, const char*);

}  // namespace Processing::Compensation
