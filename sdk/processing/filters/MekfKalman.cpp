#include "processing/filters/MekfKalman.h"

#include <Eigen/LU>

namespace Processing::QN {

void CMekfKalman::SetUp(const Matrix& initialCovariance, const Matrix& noise) {
  covariance_ = initialCovariance;
  noise_ = noise;
}

void CMekfKalman::SetNoise(const Matrix& noise) { noise_ = noise; }

bool CMekfKalman::Correct(const Matrix& transition, const Matrix& measurement, const Matrix& accumulatedProcessNoise) {
  const Matrix innovation = measurement * covariance_ * measurement.transpose() + noise_;
  Matrix inverse;
  double determinant = 0;
  bool invertible = false;
  // Only an exactly singular S is refused: P shrinks to the process noise of
  // ten frames after a window without residuals, so a tiny S is a sound one.
  innovation.computeInverseAndDetWithCheck(inverse, determinant, invertible, 0.0);
  if (!invertible) return false;
  const Matrix gain = covariance_ * measurement.transpose() * inverse;
  if (!gain.allFinite()) return false;

  gain_ = gain;
  posterior_ = (identity_ - gain_ * measurement) * covariance_;
  covariance_ = transition * posterior_ * transition.transpose() + accumulatedProcessNoise;
  return true;
}

}  // namespace Processing::QN
