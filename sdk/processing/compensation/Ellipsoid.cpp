#include "processing/compensation/Ellipsoid.h"

#include "processing/compensation/Messages.h"
#include "processing/compensation/Quadric.h"

namespace Processing::Compensation {

Correction FitEllipsoid(const Samples& samples, const char* failure) {
  const QuadricMap<3> fit = FitQuadric<3>(samples, 1.0, failure);
  return {fit.matrix, fit.shift};
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
