#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "processing/filters/MotionDetection.h"

namespace {

using namespace Processing::QN;

struct Row {
  double g, p1, p2;
};
constexpr Row k60{0.600817680358887, 0.641464412212372, 0.201635375618935};
constexpr Row k100{0.401360034942627, 1.13341200351715, -0.197279930114746};
constexpr Row k200{0.233249112963676, 1.51482975482941, -0.533501744270325};
constexpr Row k500{0.106086418032646, 1.78442454338074, -0.787827134132385};

TEST(MotionDetection, FrequenciesSelectTheirCoefficientsOrAreRefused) {
  const struct {
    double frequency;
    std::optional<Row> row;  // none: "unknown frequency"
  } cases[] = {
      {60, k60},
      {30, k60},
      {1e-3, k60},
      {59.999, k60},
      {60 + 1e-13, k60},  // within 49 binary places of 60
      {100, k100},
      {200, k200},
      {500, k500},
      {60.001, std::nullopt},
      {100 - 1e-12, std::nullopt},
      {120, std::nullopt},
      {1000, std::nullopt},
      {0, std::nullopt},
      {-60, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
  };
  for (const auto& c : cases) {
    MotionFilter filter{1, 2, 3, {4, 5, 6}, {7, 8, 9}};
    if (!c.row) {
      try {
        SetFilterCoefficients(filter, c.frequency);
        ADD_FAILURE() << c.frequency << " Hz was accepted";
      } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "unknown frequency") << c.frequency;
      }
      EXPECT_EQ(filter.g, 1) << c.frequency << " Hz changed the filter";
      EXPECT_EQ(filter.y[2], 9) << c.frequency << " Hz changed the filter";
      continue;
    }
    SetFilterCoefficients(filter, c.frequency);
    EXPECT_EQ(filter.g, c.row->g) << c.frequency;
    EXPECT_EQ(filter.p1, c.row->p1) << c.frequency;
    EXPECT_EQ(filter.p2, c.row->p2) << c.frequency;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(filter.x[i] + filter.y[i], 0) << c.frequency << ": state kept";
  }
}

TEST(MotionDetection, FilterRespondsToAnImpulseAsItsDifferenceEquationSays) {
  // y(n) = p1 y(n-1) + p2 y(n-2) + g x(n) - g x(n-2), absolute value returned.
  MotionFilter filter;
  SetFilterCoefficients(filter, 100);
  const double expected[] = {0.401360034942627, 0.4549062813360362, 0.035055925154652556, 0.0500110730260502,
                             0.06359898094111567};
  for (std::size_t n = 0; n < std::size(expected); ++n)
    EXPECT_NEAR(MotionFilterStep(filter, n == 0 ? 1 : 0), expected[n], 1e-15) << "n = " << n;
}

TEST(MotionDetection, LevelIsTheSumOfTheLastTenCountedOutputs) {
  const struct {
    const char* name;
    double threshold;
    std::vector<double> outputs;
    std::vector<int> levels;
  } cases[] = {
      {"outputs below the threshold count 0; a slot leaves after ten more",
       0.01,
       {0.5, 0.00999, 0.01, 0.00005, 3.0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {5000, 5000, 5100, 5100, 35100, 35100, 35100, 35100, 35100, 35100, 30100, 30100, 30000, 30000}},
      {"int(0.00005 x 10000) is 0: at rest even with a threshold of 0", 0, std::vector<double>(12, 0.00005),
       std::vector<int>(12, 0)},
      {"huge outputs saturate instead of overflowing", 0, std::vector<double>(10, 1e300),
       {214748364, 429496728, 644245092, 858993456, 1073741820, 1288490184, 1503238548, 1717986912, 1932735276,
        2147483640}},
      {"not a number counts 0", 0, {std::numeric_limits<double>::quiet_NaN(), 1}, {0, 10000}},
  };
  for (const auto& c : cases) {
    MotionCounter counter;
    ResetMotionCounter(counter, c.threshold);
    for (std::size_t n = 0; n < c.outputs.size(); ++n)
      EXPECT_EQ(MotionCounterUpdate(counter, c.outputs[n]), c.levels[n]) << c.name << ", output " << n;
  }
}

}  // namespace
