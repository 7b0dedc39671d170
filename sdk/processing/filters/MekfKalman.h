#pragma once

#include <Eigen/Core>

namespace Processing::QN {

// The three-state error filter behind the attitude filter. Its error state is
// the small attitude correction, which is never stored: the caller applies
// K z itself. Fixed size throughout, so a correction allocates nothing.
class CMekfKalman {
 public:
  using Matrix = Eigen::Matrix3d;

  // Starts over with P = initial covariance and R = noise.
  void SetUp(const Matrix& initialCovariance, const Matrix& noise);
  void SetNoise(const Matrix& noise);

  // S = H P H^T + R; K = P H^T S^-1; P+ = (I - K H) P; P = F P+ F^T + Qa.
  // When S is singular or the gain is not finite nothing changes and the
  // answer is false: a gain like that would put NaN into the attitude for good.
  bool Correct(const Matrix& transition, const Matrix& measurement, const Matrix& accumulatedProcessNoise);

  const Matrix& Gain() const { return gain_; }
  const Matrix& Covariance() const { return covariance_; }

 private:
  Matrix posterior_ = Matrix::Identity();   // P+
  Matrix covariance_ = Matrix::Identity();  // P
  Matrix identity_ = Matrix::Identity();
  Matrix gain_ = Matrix::Zero();            // K
  Matrix noise_ = Matrix::Identity();       // R
};

}  // namespace Processing::QN
