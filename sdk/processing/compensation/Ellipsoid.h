#pragma once

#include "processing/compensation/Samples.h"

namespace Processing::Compensation {

// The map of the samples' fitted ellipsoid onto the unit sphere (FitQuadric):
// |matrix x (x + shift)| = 1 on the ellipsoid. Raises std::logic_error with
// failure when the samples determine none, and with Message::kNoEllipsoid when
// the fitted quadric is no ellipsoid.
Correction FitEllipsoid(const Samples& samples, const char* failure);

// When a second pass runs: when |matrix x shift| of the first fit reaches 0.5,
// or only when it exceeds 0.5.
enum class SecondPass { FromHalf, AboveHalf };

// A first fit; then, if its shift is large against the radius, a second fit of
// the samples moved by the first shift, whose matrix is kept and whose shift is
// added. Raises the first pass's failures with Message::kCannotFit, the second
// pass's with Message::kCannotFitSecondPass.
Correction FitEllipsoidTwice(const Samples& samples, SecondPass when);

}  // namespace Processing::Compensation
