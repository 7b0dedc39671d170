#pragma once

#include "processing/compensation/Samples.h"

namespace Processing::Compensation {

// Fits x^T A x + 2 b^T x = 1 to the samples and gives the map onto the unit
// sphere: |matrix x (x + shift)| = 1 on the fitted ellipsoid, shift = A^-1 b
// (the negated centre) and matrix the symmetric square root of A / (b^T shift
// + 1). Raises std::logic_error with failure when the samples do not
// determine a quadric (too few, all on a plane or another degenerate set) or
// the result is not finite, and with Message::kNoEllipsoid when the quadric
// is no ellipsoid.
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
