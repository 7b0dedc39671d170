#pragma once

#include <Eigen/Core>

namespace Processing::Compensation {

// The map of a fitted ellipse (2 dimensions) or ellipsoid (3) onto the unit
// circle or sphere scaled by sqrt(scale): |matrix x (x + shift)| = sqrt(scale).
template <int D>
struct QuadricMap {
  Eigen::Matrix<double, D, D> matrix;
  Eigen::Matrix<double, D, 1> shift;
};

// Fits x^T A x + 2 b^T x = 1 to the points (one a row) by least squares;
// shift = A^-1 b (the negated centre) and matrix the symmetric square root of
// scale x A / (b^T shift + 1). Raises std::logic_error with failure when the
// points do not determine the quadric (too few, or a degenerate set such as a
// plane or a line) or a result is not finite, and with Message::kNoEllipsoid
// when the quadric is no ellipse or ellipsoid.
template <int D>
QuadricMap<D> FitQuadric(const Eigen::Matrix<double, Eigen::Dynamic, D>& points, double scale, const char* failure);

}  // namespace Processing::Compensation
