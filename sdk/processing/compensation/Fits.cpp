#include "processing/compensation/Fits.h"

#include <stdexcept>

#include "processing/compensation/Ellipsoid.h"
#include "processing/compensation/Messages.h"

namespace Processing::Compensation {

Correction FitAcc(const Samples& acceleration) { return FitEllipsoid(acceleration, Message::kCannotFit); }

Eigen::Vector3d FitGyr(const Samples& angularRate) {
  if (angularRate.rows() == 0) throw std::logic_error(Message::kTooLittleData);
  const Eigen::Vector3d mean = angularRate.colwise().mean().transpose();
  if (!mean.allFinite()) throw std::logic_error(Message::kBadData);
  return mean;
}

Correction FitMag(const Samples& field) { return FitEllipsoidTwice(field, SecondPass::FromHalf); }

}  // namespace Processing::Compensation
