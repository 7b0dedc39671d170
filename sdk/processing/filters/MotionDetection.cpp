#include "processing/filters/MotionDetection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace Processing::QN {

namespace {

struct CoefficientRow {
  double frequency;  // Hz
  double g, p1, p2;
};

constexpr std::array<CoefficientRow, 4> kCoefficients{{
    {60, 0.600817680358887, 0.641464412212372, 0.201635375618935},
    {100, 0.401360034942627, 1.13341200351715, -0.197279930114746},
    {200, 0.233249112963676, 1.51482975482941, -0.533501744270325},
    {500, 0.106086418032646, 1.78442454338074, -0.787827134132385},
}};
static_assert(kCoefficients.front().frequency == 60, "slower rates take the first row");

// The biased exponent field of an IEEE 754 double.
int ExponentField(double value) {
  std::uint64_t bits;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  return static_cast<int>((bits >> 52) & 0x7FF);
}

// Filter outputs above this count as this much, so that the sum of ten slots
// stays an int.
constexpr double kCountedLimit = std::numeric_limits<std::int32_t>::max() / MotionCounter::kSlots / 10000.0;

}  // namespace

bool IsAlmostEqual(double a, double b) {
  if (a == b) return true;
  const int difference = ExponentField(a - b);
  return ExponentField(a) - difference >= 49 && ExponentField(b) - difference >= 49;
}

void SetFilterCoefficients(MotionFilter& filter, double frequency) {
  // A rate of 0 or below would reach the users' divisions by the frame rate.
  if (!(frequency > 0)) throw std::logic_error("unknown frequency");
  for (const auto& row : kCoefficients) {
    if (!(&row == &kCoefficients.front() && frequency < row.frequency) && !IsAlmostEqual(frequency, row.frequency))
      continue;
    filter = MotionFilter{row.g, row.p1, row.p2, {}, {}};
    return;
  }
  throw std::logic_error("unknown frequency");
}

double MotionFilterStep(MotionFilter& filter, double x) {
  filter.x = {x, filter.x[0], filter.x[1]};
  const double y = filter.p1 * filter.y[0] + filter.p2 * filter.y[1] + filter.g * filter.x[0] - filter.g * filter.x[2];
  filter.y = {y, filter.y[0], filter.y[1]};
  return std::abs(y);
}

int MotionCounterUpdate(MotionCounter& counter, double value) {
  const double counted = value >= counter.threshold ? std::min(value, kCountedLimit) : 0.0;
  auto& slot = counter.ring[static_cast<std::size_t>(counter.index)];
  counter.sum -= slot;
  slot = static_cast<std::int32_t>(counted * 10000);
  counter.sum += slot;
  counter.index = (counter.index + 1) % MotionCounter::kSlots;
  return counter.sum;
}

void ResetMotionCounter(MotionCounter& counter, double threshold) { counter = MotionCounter{threshold, {}, 0, 0}; }

}  // namespace Processing::QN
