// The Kalman attitude filter on synthetic, noise-free frames whose attitude is
// known. Poses and expected attitudes come from mekf_poses.py beside this file.

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "processing/filters/MekfFilter.h"

namespace {

using Processing::QN::CMekfFilter;
using Vector = Eigen::Vector3d;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A still pose as the sensor sees it: what the accelerometer reads and the
// field, and the attitude that takes gravity to (0, 0, -1) and gravity x field
// to (1, 0, 0).
struct Pose {
  const char* name;
  Vector acceleration;
  Vector field;
  Eigen::Quaterniond attitude;
};

Pose MakePose(const char* name, std::array<double, 3> acceleration, std::array<double, 3> field,
              std::array<double, 4> xyzw) {
  return {name, Vector(acceleration.data()), Vector(field.data()),
          Eigen::Quaterniond(xyzw[3], xyzw[0], xyzw[1], xyzw[2])};
}

const Pose kLevel = MakePose("level", {0.0, 0.0, 1.0}, {0.0, 0.3, -0.4}, {0.0, 0.0, 0.0, 1.0});
const Pose kQuarterAboutX =
    MakePose("90 deg about x", {0.0, 1.0, 0.0}, {0.0, -0.4, -0.3}, {0.7071067811865475, 0.0, 0.0, 0.7071067811865476});
const Pose kThirtyAboutX =
    MakePose("30 deg about x", {0.0, 0.49999999999999994, 0.8660254037844387},
             {0.0, 0.05980762113533164, -0.4964101615137755}, {0.25881904510252074, 0.0, 0.0, 0.9659258262890683});

// The filter takes the way gravity pulls: the accelerometer's reading negated.
const Eigen::Quaterniond& Step(CMekfFilter& filter, const Pose& pose, const Vector& rate = Vector::Zero()) {
  return filter.Step(-pose.acceleration, pose.field, rate);
}

bool IsIdentity(const Eigen::Quaterniond& q) { return q.coeffs() == Eigen::Vector4d(0, 0, 0, 1); }

TEST(MekfFilter, AlignsOnAStillPoseAndHoldsIt) {
  const struct {
    Pose pose;
    double tolerance;  // rad, on every frame from the 101st
  } cases[] = {
      // Every window of the level pose has zero residuals: its updates run with R = 0.
      {kLevel, 1e-12},
      {kQuarterAboutX, 1e-9},
      {MakePose("90 deg about z", {0.0, 0.0, 1.0}, {0.3, 0.0, -0.4},
                {0.0, 0.0, 0.7071067811865475, 0.7071067811865476}),
       1e-9},
      {MakePose("170 deg about (1, 2, 3)", {0.3324970918358584, 0.8970413217671823, 0.2911400882099259},
                {-0.006167162462350634, -0.4841324757809175, 0.12481070467472849},
                {0.2662442321985725, 0.5324884643971451, 0.7987326965957179, 0.08715574274765814}),
       1e-9},
      // Below a quarter turn the alignment is not exact: the first update leaves
      // a bias of about 1 % of its error, and the estimate saw-tooths between
      // updates by up to about 3e-5 rad.
      {kThirtyAboutX, 1e-4},
      {MakePose("40 deg about (1, 1, 0)", {-0.4545194776720436, 0.4545194776720436, 0.766044443118978},
                {0.21690112460097075, 0.08309887539902922, -0.4427736205492043},
                {0.24184476264797525, 0.2418447626479752, 0.0, 0.9396926207859084}),
       1e-4},
      // Half turns make the alignment's H singular (level with the field behind:
      // H = diag(4, 2, 0), z = 0; about (1, 1, 0) z is not even 0).
      {MakePose("half turn about z", {0.0, 0.0, 1.0}, {0.0, -0.3, -0.4}, {0.0, 0.0, 1.0, 0.0}), 1e-9},
      {MakePose("half turn about (1, 1, 0)", {0.0, 0.0, -1.0}, {0.3, 0.0, 0.4},
                {0.7071067811865475, 0.7071067811865476, 0.0, 0.0}),
       1e-9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pose.name);
    CMekfFilter filter;
    ASSERT_TRUE(filter.Reset(100));
    for (int frame = 1; frame <= 3000; ++frame) {
      const Eigen::Quaterniond q = Step(filter, c.pose);
      if (frame <= CMekfFilter::kAlignmentFrames) {
        ASSERT_TRUE(IsIdentity(q)) << "frame " << frame << ": q = " << q.coeffs().transpose();
        continue;
      }
      const double error = q.angularDistance(c.pose.attitude);
      ASSERT_LE(error, c.tolerance) << "frame " << frame << ": q = " << q.coeffs().transpose()
                                    << ", expected " << c.pose.attitude.coeffs().transpose();
    }
    EXPECT_TRUE(filter.Covariance().allFinite()) << filter.Covariance();
    EXPECT_TRUE(filter.GyroBias().allFinite()) << filter.GyroBias().transpose();
  }
}

TEST(MekfFilter, LearnsTheGyroBiasOnlyWhileStill) {
  const Vector bias(0.01, -0.02, 0.005);  // rad/s
  const struct {
    const char* name;
    Vector rate[2];  // alternating frame by frame
    Vector learned;
  } cases[] = {
      {"no rate", {Vector::Zero(), Vector::Zero()}, Vector::Zero()},
      {"constant rate", {bias, bias}, bias},
      // Spread 0.01^2 = 1e-4 (rad/s)^2: still enough.
      {"alternating 0.05 +- 0.01 on x", {Vector(0.06, 0, 0), Vector(0.04, 0, 0)}, Vector(0.05, 0, 0)},
      // Spread 0.02^2 = 4e-4, above 2e-4: turning, nothing learned.
      {"alternating 0.05 +- 0.02 on x", {Vector(0.07, 0, 0), Vector(0.03, 0, 0)}, Vector::Zero()},
      {"spread summed over the axes", {Vector(0.06, 0.01, -0.01), Vector(0.04, -0.01, 0.01)}, Vector::Zero()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMekfFilter filter;
    for (int frame = 0; frame < CMekfFilter::kAlignmentFrames; ++frame) Step(filter, kLevel, c.rate[frame % 2]);
    ASSERT_TRUE(filter.Initialised());
    EXPECT_LE((filter.GyroBias() - c.learned).norm(), 1e-15) << "b = " << filter.GyroBias().transpose();
  }

  // The learned bias is what the gyro reads at rest: the level attitude stays.
  CMekfFilter filter;
  for (int frame = 1; frame <= 2000; ++frame) {
    const Eigen::Quaterniond q = Step(filter, kLevel, bias);
    ASSERT_LE(q.angularDistance(kLevel.attitude), 1e-12) << "frame " << frame << ": q = " << q.coeffs().transpose();
  }
}

// Still poses tilted about x by +-angle (rad), alternating frame by frame.
std::array<Pose, 2> Swinging(const char* name, double sine, double cosine, std::array<double, 2> fieldUp,
                             std::array<double, 2> fieldDown) {
  return {MakePose(name, {0.0, sine, cosine}, {0.0, fieldUp[0], fieldUp[1]}, {}),
          MakePose(name, {0.0, -sine, cosine}, {0.0, fieldDown[0], fieldDown[1]}, {})};
}

std::vector<int> EveryWindowFrom(int first, int last) {
  std::vector<int> frames = {101};
  for (int frame = first; frame <= last; frame += 10) frames.push_back(frame);
  return frames;
}

TEST(MekfFilter, UpdatesEveryWindowWhileResidualsAreSmallAndAtThe501stOtherwise) {
  const struct {
    const char* name;
    std::array<Pose, 2> poses;  // odd, even frames
    int frames;
    std::vector<int> updates;  // the first one is the alignment's
  } cases[] = {
      {"still", {kThirtyAboutX, kThirtyAboutX}, 600, EveryWindowFrom(110, 600)},
      // Residuals of each window sum to about 0.06 (below 0.08) while their
      // variances sum to about 3.6e-5 (above 3.2e-5): the sum alone passes.
      {"swinging by 0.012 rad",
       Swinging("+-0.006 rad", 0.0059999640000648, 0.999982000054, {0.2975946144161741, -0.40179278922161943},
                {0.3023945856162259, -0.39819281082158053}),
       600, EveryWindowFrom(110, 600)},
      // Far beyond both: only every 501st complete window brings an update.
      {"swinging by 0.2 rad",
       Swinging("+-0.1 rad", 0.09983341664682815, 0.9950041652780258, {0.2585678829246765, -0.42795169110525877},
                {0.338434616242139, -0.36805164111716193}),
       10200, {101, 100 + 501 * 10, 100 + 2 * 501 * 10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMekfFilter filter;
    filter.Reset(100);
    // Updates show as the only frames on which the covariance changes.
    std::vector<int> updates;
    Eigen::Matrix3d covariance = filter.Covariance();
    for (int frame = 1; frame <= c.frames; ++frame) {
      Step(filter, c.poses[frame % 2 ? 0 : 1]);
      if (filter.Covariance() != covariance) updates.push_back(frame);
      covariance = filter.Covariance();
    }
    EXPECT_EQ(updates, c.updates);
  }
}

// Aligned still at 90 deg about x, then turning at a constant rate given in
// the sensor frame: the attitude at t is q0 * rotation(rate t), and the
// readings are gravity and field seen from it.
TEST(MekfFilter, FollowsATurnAtConstantRate) {
  const struct {
    Vector rate;       // rad/s, sensor frame
    double tolerance;  // rad, on every frame
  } cases[] = {
      {Vector(0.2, -0.4, 0.5), 1e-6},
      // 0.02 rad a frame: each frame's small-rotation step falls short by
      // about (0.02)^3 / 24 rad until the next update.
      {Vector(0, 0, 2.0), 1e-5},
  };
  const Vector down(0, 0, 1);  // what the accelerometer reads when level
  const Vector field(0.0, 0.3, -0.4);
  constexpr double kFrequency = 100;  // Hz
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate.transpose());
    CMekfFilter filter;
    filter.Reset(kFrequency);
    for (int frame = 1; frame <= CMekfFilter::kAlignmentFrames; ++frame) Step(filter, kQuarterAboutX);
    for (int k = 1; k <= 1000; ++k) {
      const double t = k / kFrequency;
      const Eigen::Quaterniond truth =
          kQuarterAboutX.attitude * Eigen::Quaterniond(Eigen::AngleAxisd(c.rate.norm() * t, c.rate.normalized()));
      const Eigen::Matrix3d toSensor = truth.toRotationMatrix().transpose();
      const Eigen::Quaterniond q = filter.Step(-(toSensor * down), toSensor * field, c.rate);
      ASSERT_LE(q.angularDistance(truth), c.tolerance)
          << "t = " << t << " s: q = " << q.coeffs().transpose() << ", expected " << truth.coeffs().transpose();
    }
  }
}

// The alignment of a 30 deg tilt overshoots by e0 (it takes tan 15 deg for a
// sine); the first update turns back by 2 asin(tan(e0 / 2)) about x and keeps
// 1 % of that quaternion's vector part as gyro bias.
TEST(MekfFilter, FirstUpdateKeepsOnePercentOfTheAlignmentErrorAsBias) {
  const double t = std::tan(M_PI / 12);
  const double overshoot = 2 * std::atan2(t, std::sqrt(1 - t * t)) - M_PI / 6;  // e0, rad
  const Vector expected(0.01 * std::tan(overshoot / 2), 0, 0);
  CMekfFilter filter;
  filter.Reset(100);
  for (int frame = 1; frame <= CMekfFilter::kAlignmentFrames + 1; ++frame) Step(filter, kThirtyAboutX);
  EXPECT_LE((filter.GyroBias() - expected).norm(), 1e-9)
      << "b = " << filter.GyroBias().transpose() << ", expected " << expected.transpose();
}

// Each case is one bad frame in a still 90 deg pose, during the alignment or
// while tracking; the frame is skipped whole and the output stays.
TEST(MekfFilter, SkipsAFrameItCannotUseAndCarriesOn) {
  const Vector acceleration = kQuarterAboutX.acceleration;
  const Vector field = kQuarterAboutX.field;
  const struct {
    const char* name;
    Vector acceleration, field, rate;
  } cases[] = {
      {"no acceleration", Vector::Zero(), field, Vector::Zero()},
      {"acceleration NaN", Vector(0, kNaN, 0), field, Vector::Zero()},
      {"acceleration infinite", Vector(0, kInf, 0), field, Vector::Zero()},
      {"acceleration beyond squaring", Vector(0, 1e300, 0), field, Vector::Zero()},
      {"no field", acceleration, Vector::Zero(), Vector::Zero()},
      {"field along gravity", acceleration, -0.5 * acceleration, Vector::Zero()},
      {"field against gravity", acceleration, 2 * acceleration, Vector::Zero()},
      {"field NaN", acceleration, Vector(kNaN, 0, 0), Vector::Zero()},
      {"field infinite", acceleration, Vector(0, 0, -kInf), Vector::Zero()},
      {"rate NaN", acceleration, field, Vector(0, 0, kNaN)},
      {"rate infinite", acceleration, field, Vector(kInf, 0, 0)},
  };
  const Pose good = kQuarterAboutX;
  for (const int badFrame : {50, 150}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (badFrame < 100 ? ", aligning" : ", tracking"));
      CMekfFilter filter;
      filter.Reset(100);
      Eigen::Quaterniond previous = Eigen::Quaterniond::Identity();
      for (int frame = 1; frame <= 1000; ++frame) {
        if (frame == badFrame) {
          const Eigen::Quaterniond q = filter.Step(-c.acceleration, c.field, c.rate);
          ASSERT_EQ(q.coeffs(), previous.coeffs()) << "q = " << q.coeffs().transpose();
          continue;
        }
        const Eigen::Quaterniond q = Step(filter, good);
        // A bad frame while aligning adds no row: the first estimate comes one
        // frame later.
        const int firstEstimate = badFrame < 100 ? 102 : 101;
        if (frame < firstEstimate)
          ASSERT_TRUE(IsIdentity(q)) << "frame " << frame << ": q = " << q.coeffs().transpose();
        else
          ASSERT_LE(q.angularDistance(good.attitude), 1e-9) << "frame " << frame << ": q = " << q.coeffs().transpose();
        previous = q;
      }
      EXPECT_TRUE(filter.Covariance().allFinite()) << filter.Covariance();
      EXPECT_LE(filter.GyroBias().norm(), 1e-12) << filter.GyroBias().transpose();
    }
  }
}

// Turned over frame by frame, each frame has a heading but the 100 of them
// average to no gravity at all: the alignment starts again.
TEST(MekfFilter, AlignsAgainWhenTheAlignmentFramesAverageToNoGravity) {
  const Pose upsideDown = MakePose("upside down", {0.0, 0.0, -1.0}, {0.0, 0.3, 0.4}, {});
  CMekfFilter filter;
  filter.Reset(100);
  for (int frame = 1; frame <= CMekfFilter::kAlignmentFrames; ++frame) {
    const Eigen::Quaterniond q = Step(filter, frame % 2 ? kLevel : upsideDown);
    ASSERT_TRUE(IsIdentity(q)) << "frame " << frame << ": q = " << q.coeffs().transpose();
  }
  EXPECT_FALSE(filter.Initialised());
  for (int frame = 101; frame <= 300; ++frame) {
    const Eigen::Quaterniond q = Step(filter, kQuarterAboutX);
    if (frame <= 200)
      ASSERT_TRUE(IsIdentity(q)) << "frame " << frame << ": q = " << q.coeffs().transpose();
    else
      ASSERT_LE(q.angularDistance(kQuarterAboutX.attitude), 1e-9)
          << "frame " << frame << ": q = " << q.coeffs().transpose();
  }
}

// Level, so that every window has zero residuals and every update runs with
// R = 0; then, on a frame that closes a window, the field swings behind the
// sensor: H = diag(4, 2, 0) and H P H^T + R is singular.
TEST(MekfFilter, LeavesOutASingularUpdate) {
  const Pose behind = MakePose("field behind", {0.0, 0.0, 1.0}, {0.0, -0.3, -0.4}, {});
  CMekfFilter filter;
  filter.Reset(100);
  for (int frame = 1; frame <= 119; ++frame) Step(filter, kLevel);
  const Eigen::Matrix3d covariance = filter.Covariance();
  const Eigen::Quaterniond q = Step(filter, behind);
  EXPECT_TRUE(IsIdentity(q)) << "q = " << q.coeffs().transpose();
  EXPECT_EQ(filter.Covariance(), covariance) << "the update ran";

  // The next window's update runs as ever.
  for (int frame = 121; frame <= 130; ++frame) {
    const Eigen::Quaterniond next = Step(filter, kLevel);
    ASSERT_LE(next.angularDistance(kLevel.attitude), 1e-12)
        << "frame " << frame << ": q = " << next.coeffs().transpose();
  }
  EXPECT_NE(filter.Covariance(), covariance) << "no update at frame 130";
  EXPECT_TRUE(filter.Covariance().allFinite()) << filter.Covariance();
}

}  // namespace
