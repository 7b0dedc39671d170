#include "processing/compensation/LeastSquares.h"

#include <Eigen/LU>
#include <Eigen/QR>
#include <Eigen/SVD>

namespace Processing::Compensation {

std::optional<Eigen::VectorXd> SolveFullRank(const Eigen::MatrixXd& design, const Eigen::VectorXd& rhs) {
  if (design.rows() < design.cols() || !design.allFinite()) return std::nullopt;
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(design);
  qr.setThreshold(kRankTolerance);
  if (qr.rank() < design.cols()) return std::nullopt;
  Eigen::VectorXd solution = qr.solve(rhs);
  if (!solution.allFinite()) return std::nullopt;
  return solution;
}

std::optional<Eigen::MatrixXd> SolveBySvd(const Eigen::MatrixXd& design, const Eigen::MatrixXd& rhs) {
  if (!design.allFinite() || !rhs.allFinite()) return std::nullopt;
  Eigen::MatrixXd solution = design.jacobiSvd(Eigen::ComputeThinU | Eigen::ComputeThinV).solve(rhs);
  if (!solution.allFinite()) return std::nullopt;
  return solution;
}

std::optional<Eigen::Vector3d> SolveByNormalEquations(const Eigen::Matrix<double, Eigen::Dynamic, 3>& samples,
                                                      const Eigen::VectorXd& rhs) {
  const Eigen::Matrix3d normal = samples.transpose() * samples;
  Eigen::FullPivLU<Eigen::Matrix3d> lu(normal);
  lu.setThreshold(kRankTolerance);
  if (!normal.allFinite() || !lu.isInvertible()) return std::nullopt;
  const Eigen::Vector3d solution = normal.inverse() * (samples.transpose() * rhs);
  if (!solution.allFinite()) return std::nullopt;
  return solution;
}

}  // namespace Processing::Compensation
