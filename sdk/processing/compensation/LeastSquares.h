#pragma once

#include <optional>

#include <Eigen/Core>

// Least-squares solves that refuse data which do not determine the answer,
// rather than return the infinities or NaNs of a singular system.
namespace Processing::Compensation {

// Smallest pivot, relative to the largest, that still counts as independent.
// Exactly dependent columns leave pivots at rounding level (about 1e-16).
constexpr double kRankTolerance = 1e-12;

// design x k = rhs by a rank-revealing QR of the design matrix; none when the
// design's columns are dependent.
std::optional<Eigen::VectorXd> SolveFullRank(const Eigen::MatrixXd& design, const Eigen::VectorXd& rhs);

// design x x = rhs by a Jacobi singular value decomposition (the minimum-norm
// solution when the columns are dependent); none when the input or the
// solution is not finite, which the decomposition cannot take.
std::optional<Eigen::MatrixXd> SolveBySvd(const Eigen::MatrixXd& design, const Eigen::MatrixXd& rhs);

// samples x h = rhs by the explicit inverse of the 3 x 3 normal matrix; none
// when that matrix is singular.
std::optional<Eigen::Vector3d> SolveByNormalEquations(const Eigen::Matrix<double, Eigen::Dynamic, 3>& samples,
                                                      const Eigen::VectorXd& rhs);

}  // namespace Processing::Compensation
