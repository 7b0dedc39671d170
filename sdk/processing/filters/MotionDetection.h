#pragma once

#include <array>
#include <cstdint>

// Whether a sensor moves, from the magnitude of its rotation rate or magnetic
// field: a second-order band-pass filter whose coefficients follow the frame
// rate, then a ring of the last ten filter outputs that reached a threshold.
// The head-tracking stage and the PI correction share these.
namespace Processing::QN {

// y(n) = p1 y(n-1) + p2 y(n-2) + g x(n) - g x(n-2)
struct MotionFilter {
  double g = 0;
  double p1 = 0;
  double p2 = 0;
  std::array<double, 3> x{};  // x(n), x(n-1), x(n-2)
  std::array<double, 3> y{};  // y(n), y(n-1), y(n-2)
};

struct MotionCounter {
  static constexpr int kSlots = 10;
  double threshold = 0;  // filter outputs below it count as 0
  std::array<std::int32_t, kSlots> ring{};
  int index = 0;
  int sum = 0;  // of the ring: the motion level
};

// True when the values are equal or their difference's binary exponent lies at
// least 49 below each of theirs.
bool IsAlmostEqual(double a, double b);

// Takes the coefficients of the frame rate (Hz) and clears the filter's state.
// Rates below 60 Hz take the 60 Hz row; a rate of 0 or below, or any other
// rate without a row, throws std::logic_error "unknown frequency" and leaves
// the filter as it was.
void SetFilterCoefficients(MotionFilter& filter, double frequency);
// One input sample; returns |y(n)|.
double MotionFilterStep(MotionFilter& filter, double x);
// Enters one filter output (times 10,000, truncated toward zero) in the ring
// and returns the motion level.
int MotionCounterUpdate(MotionCounter& counter, double value);
// Clears the ring and takes a new threshold.
void ResetMotionCounter(MotionCounter& counter, double threshold);

}  // namespace Processing::QN
