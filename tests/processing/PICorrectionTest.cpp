// The PI attitude correction fed SensorRecords directly: acceleration, angular
// rate and magnetic field in at record bytes 80, 104 and 128, the quaternion
// (x, y, z, w) out at 160 and the time stamp at 456. Expected attitudes were
// worked out from the algorithm's formulas by a separate script, unless the
// test derives them itself.

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "TestFrames.h"
#include "processing/attitude/PICorrection.h"

namespace {

using Processing::QN::CPICorrection;
using Vec = std::array<double, 3>;
using Quat4 = std::array<double, 4>;  // x, y, z, w
using Config = std::map<std::string, std::string>;

constexpr double kTolerance = 1e-12;
constexpr double kPi = 3.14159265358979323846;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Level and pointing north: record acceleration (0, 0, 1) and a field (0, my, mz)
// give the identity.
constexpr Vec kLevelAcceleration{0, 0, 1};
constexpr Vec kLevelField{0, 0.5, -0.25};
constexpr Vec kNoRate{0, 0, 0};
constexpr Quat4 kIdentity{0, 0, 0, 1};

// The sensor turned by 5 degrees about x; 0.1 degree about x; 10 degrees about
// z; and by Rz(-0.01 rad) Rx(0.01 rad). Acceleration magnitudes x 1.01 and field
// magnitudes x 1.001 keep the median filters clear of ties.
constexpr Vec kTiltAcceleration{0.0, 0.08802730017513476, 1.0061566450726631};
constexpr Vec kTiltField{0.0, 0.4767847217723171, -0.29291917244266225};
constexpr Vec kSmallTiltAcceleration{0.0, 0.001762781649557292, 1.0099984616824205};
constexpr Vec kSmallTiltField{0.0, 0.5000624692715344, -0.25112315569468235};
constexpr Vec kYawedAcceleration{0.0, 0.0, 1.01};
constexpr Vec kYawedField{0.08691091292229862, 0.49289628038261013, -0.25025};
constexpr Vec kYawErrorAcceleration{-6.844026213814747e-21, 0.010099831667508332, 1.0099495004208319};
constexpr Vec kYawErrorField{-0.005004916583750415, 0.4979474933764359, -0.2552421539442771};

constexpr std::size_t kAcceleration = 80;
constexpr std::size_t kRate = 104;
constexpr std::size_t kField = 128;
constexpr std::size_t kQuaternion = 160;
constexpr std::size_t kStamp = 456;

// One sensor's 512-byte block, built and read by byte offset.
struct Record {
  alignas(8) std::array<std::uint8_t, 512> bytes{};

  void Put(std::size_t at, const double* values, std::size_t count) { std::memcpy(bytes.data() + at, values, 8 * count); }
  void Put(std::size_t at, const Vec& v) { Put(at, v.data(), v.size()); }
  Quat4 Quaternion() const {
    return {TestFrames::DoubleAt(bytes.data(), kQuaternion), TestFrames::DoubleAt(bytes.data(), kQuaternion + 8),
            TestFrames::DoubleAt(bytes.data(), kQuaternion + 16), TestFrames::DoubleAt(bytes.data(), kQuaternion + 24)};
  }
  std::uint32_t Stamp() const { return TestFrames::U32At(bytes.data(), kStamp); }
};

struct Segment {
  int frames;
  Vec acceleration, rate, field;
};

// Exact: the factors are powers of two.
Vec Scaled(const Vec& v, double factor) { return {v[0] * factor, v[1] * factor, v[2] * factor}; }

std::vector<Segment> Still(int frames, const Vec& rate = kNoRate) {
  return {{frames, kLevelAcceleration, rate, kLevelField}};
}

std::vector<Segment> Then(std::vector<Segment> first, const Segment& next) {
  first.push_back(next);
  return first;
}

boost::property_tree::ptree Tree(const Config& config) {
  boost::property_tree::ptree tree;
  for (const auto& [key, value] : config) tree.put(key, value);
  return tree;
}

std::shared_ptr<CPICorrection> Stage(int position = 0) {
  return std::make_shared<CPICorrection>(std::make_shared<Communication::Device::QN::CSensor>(
      "DKv6", 0, 14, 20, position, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{}));
}

// As the models do before any Configure.
void SendModelThresholds(CPICorrection& stage) {
  std::array<double, 32> rate, field;
  rate.fill(0.05);
  field.fill(0.02);
  stage.ExecuteCommand("set magthreshformotiondetect", field.data(), nullptr);
  stage.ExecuteCommand("set gyrthreshformotiondetect", rate.data(), nullptr);
}

// A host command before a frame: "computegyrooffset", or "set <name>" with this
// value for every position.
struct Command {
  std::string text;
  double value = 0;
};

std::vector<Quat4> Feed(CPICorrection& stage, const std::vector<Segment>& segments,
                        const std::map<int, Command>& commands = {}) {
  std::vector<Quat4> outputs;
  for (const auto& segment : segments) {
    for (int i = 0; i < segment.frames; ++i) {
      const auto command = commands.find(static_cast<int>(outputs.size()));
      if (command != commands.end()) {
        std::array<double, 32> values;
        values.fill(command->second.value);
        EXPECT_TRUE(stage.ExecuteCommand(command->second.text, values.data(), nullptr)) << command->second.text;
      }
      Record record;
      record.Put(kAcceleration, segment.acceleration);
      record.Put(kRate, segment.rate);
      record.Put(kField, segment.field);
      EXPECT_TRUE(stage.Process(nullptr, record.bytes.data()));
      outputs.push_back(record.Quaternion());
    }
  }
  return outputs;
}

std::vector<Quat4> Configured(const std::vector<Segment>& segments, const Config& config = {},
                       const std::map<int, Command>& commands = {}) {
  const auto stage = Stage();
  SendModelThresholds(*stage);
  EXPECT_TRUE(stage->Configure(Tree(config), nullptr));
  return Feed(*stage, segments, commands);
}

std::string Show(const Quat4& q) {
  std::ostringstream text;
  text.precision(17);
  text << "(" << q[0] << ", " << q[1] << ", " << q[2] << ", " << q[3] << ")";
  return text.str();
}

void ExpectNear(const Quat4& actual, const Quat4& expected, double tolerance, const std::string& where) {
  for (std::size_t i = 0; i < 4; ++i)
    if (!(std::abs(actual[i] - expected[i]) <= tolerance)) {
      ADD_FAILURE() << where << ": q = " << Show(actual) << ", expected " << Show(expected);
      return;
    }
}

Eigen::Quaterniond ToEigen(const Quat4& q) { return Eigen::Quaterniond(q[3], q[0], q[1], q[2]); }

// Rotation angle between two attitudes (rad), precise near 0.
double AngleBetween(const Quat4& a, const Quat4& b) {
  const Eigen::Quaterniond relative = ToEigen(a) * ToEigen(b).conjugate();
  return 2 * std::atan2(relative.vec().norm(), std::abs(relative.w()));
}

TEST(PICorrection, FollowsSyntheticMotionToTheWorkedOutAttitudes) {
  const struct {
    const char* name;
    Config config;
    std::vector<Segment> segments;
    std::map<int, Command> commands;  // before the frame of that number
    std::vector<std::pair<int, Quat4>> expected;
  } cases[] = {
      {"level and still is the identity, in the start phase (frames 0 to 98) and after",
       {},
       Still(300),
       {},
       {{0, kIdentity}, {98, kIdentity}, {99, kIdentity}, {299, kIdentity}}},
      {"a tilt of 5 degrees about x after the start phase; the median filters pass it a frame later",
       {},
       Then(Still(99), {250, kTiltAcceleration, kNoRate, kTiltField}),
       {},
       {{99, kIdentity},
        {100, {0.004363309284746572, 0.0, 0.0, 0.9999904807207345}},
        {101, {0.008290218982712974, 0.0, 0.0, 0.9999656355441514}},
        {120, {0.03884914837505095, 0.0, 0.0, 0.9992450868883636}},
        {146, {0.04355475195851646, 0.0, 0.0, 0.999051041529827}},
        {147, {0.04365465684472918, 0.0, 0.0, 0.9990466810593832}},
        {348, {0.043554751958517164, 0.0, 0.0, 0.999051041529827}}}},
      {"a rest rate under 0.09 is the gyroscope zero from the 100th frame after the start phase",
       {},
       Still(400, {0.02, -0.03, 0.05}),
       {},
       {{98, kIdentity},
        {99, {-5.427138464070016e-06, 8.140707696105017e-06, 0.00012106871307236265, 0.999999992623321}},
        {197, {0.003980422701589587, -0.0058678136084226755, 0.023893946716055013, 0.9996893539039534}},
        {198, {0.00399242020853639, -0.0058836096526561086, 0.024129292672363377, 0.9996835604097254}},
        {199, {0.004004183070047447, -0.005899036206992893, 0.02436449302360609, 0.9996777177518127}},
        {250, {5.089919101557903e-05, -7.469575722923319e-05, 0.02405942985188904, 0.999710525934892}},
        {399, {0.0, 0.0, 0.009164878337268522, 0.9999580016205997}}}},
      {"a rate above 0.09 is never taken for the zero",
       {},
       Still(400, {0, 0, 0.1}),
       {},
       {{399, {0.0, 0.0, 0.13063084154895507, 0.9914310784094937}}}},
      {"a rate of 0.5 about x turns the attitude",
       {},
       Then(Still(99), {100, kLevelAcceleration, {0.5, 0, 0}, kLevelField}),
       {},
       {{99, {0.0012457834395269074, 0.0, 0.0, 0.9999992240115099}},
        {150, {0.11769646092396416, 0.0, 0.0, 0.9930496176354804}}}},
      {"computegyrooffset takes the next frame's rate as the offset",
       {},
       Then(Still(99), {100, kLevelAcceleration, {0.5, 0, 0}, kLevelField}),
       {{99, {"computegyrooffset"}}},
       {{99, kIdentity}, {150, kIdentity}, {198, kIdentity}}},
      {"the heading follows a field turned by 10 degrees about z",
       {},
       Then(Still(99), {200, kYawedAcceleration, kNoRate, kYawedField}),
       {},
       {{99, kIdentity},
        {100, {0.0, 0.0, 0.00024783675124604636, 0.9999999692884719}},
        {101, {0.0, 0.0, 0.0004949696309748011, 0.9999998775025247}},
        {298, {0.0, 0.0, 0.03342802039018516, 0.9994411275571932}}}},
      {"is_mag_channel 0: the field always counts as disturbed and the heading never follows it",
       {{"is_mag_channel", "0"}},
       Then(Still(99), {200, kYawedAcceleration, kNoRate, kYawedField}),
       {},
       {{100, kIdentity}, {298, kIdentity}}},
      {"a yaw error of -0.01 rad with a roll error of 0.01 rad: K turns by -0.000284 rad, a tenth of r applies",
       {},
       Then(Still(99), {3, kYawErrorAcceleration, kNoRate, kYawErrorField}),
       {},
       {{99, kIdentity}, {100, {0.0004999999757891862, -7.099999703927839e-08, -1.4199881074330186e-05, 0.9999998748991835}}}},
      {"kpstatic set after Configure is the fixed half-angle per frame, not divided by the frequency",
       {},
       Then(Still(99), {4, kSmallTiltAcceleration, kNoRate, kSmallTiltField}),
       {{99, {"set kpstatic", 0.0005}}},
       {{99, kIdentity},
        {100, {0.0004999999791666669, 0.0, 0.0, 0.9999998750000026}},
        {101, {0.0009999998333333417, 0.0, 0.0, 0.9999995000000418}},
        {102, {0.0004999999791666668, 0.0, 0.0, 0.9999998750000025}}}},
  };
  for (const auto& c : cases) {
    const auto outputs = Configured(c.segments, c.config, c.commands);
    for (const auto& [frame, expected] : c.expected)
      ExpectNear(outputs.at(static_cast<std::size_t>(frame)), expected, kTolerance,
                 std::string(c.name) + ", frame " + std::to_string(frame));
  }
}

// The yaw example by hand: K is the rotation by -0.01 x 0.0284 about z
// (half-angle -0.000142), the roll error 0.01 about x is whole, and with no
// rotation rate the correction is the slerp by KpINI = 0.1 towards r = K Qx.
TEST(PICorrection, YawErrorGivesTheHeadingGainTimesItsHalfAngle) {
  const auto outputs = Configured(Then(Still(99), {2, kYawErrorAcceleration, kNoRate, kYawErrorField}));
  const Eigen::Quaterniond K(Eigen::AngleAxisd(2 * -0.000142, Eigen::Vector3d::UnitZ()));
  const Eigen::Quaterniond Qx(Eigen::AngleAxisd(0.01, Eigen::Vector3d::UnitX()));
  const Eigen::AngleAxisd r(K * Qx);
  const Eigen::Quaterniond expected(Eigen::AngleAxisd(0.1 * r.angle(), r.axis()));
  ExpectNear(outputs[100], {expected.x(), expected.y(), expected.z(), expected.w()}, 1e-10, "first frame that sees it");
}

// After a tilt step the error shrinks by (1 - KpINI) a frame down to 0.2
// degree, then by the fixed step 2 x KpStatic / Frequency = 2e-4 rad, and then
// stays within that step of the tilt.
TEST(PICorrection, TiltStepDecaysGeometricallyThenByFixedStepsAndHolds) {
  const auto outputs = Configured(Then(Still(99), {400, kTiltAcceleration, kNoRate, kTiltField}));
  const Eigen::Quaterniond tilt(Eigen::AngleAxisd(5 * kPi / 180, Eigen::Vector3d::UnitX()));
  const Quat4 target{tilt.x(), tilt.y(), tilt.z(), tilt.w()};
  constexpr double kStatic = 0.003490658503988659;
  constexpr double kStep = 2e-4;

  int geometric = 0, fixed = 0;
  double previous = AngleBetween(outputs[99], target);
  for (std::size_t n = 100; n < outputs.size(); ++n) {
    const double error = AngleBetween(outputs[n], target);
    if (previous >= kStatic) {
      EXPECT_NEAR(error / previous, 0.9, 1e-9) << "frame " << n << ", error " << error;
      ++geometric;
    } else if (previous >= kStep) {
      EXPECT_NEAR(previous - error, kStep, 1e-9) << "frame " << n << ", error " << error;
      ++fixed;
    } else {
      EXPECT_LE(error, kStep + 1e-12) << "frame " << n;
    }
    previous = error;
  }
  EXPECT_EQ(geometric, 31) << "5 degrees x 0.9^n stays at 0.2 degree or above for n = 0 to 30";
  EXPECT_GT(fixed, 0);
}

TEST(PICorrection, PredictsAheadByTheHorizonWithoutLeavingTheUnitSphere) {
  const auto segments = Then(Still(99), {50, kLevelAcceleration, {0, 0, 0.5}, kLevelField});
  const auto now = Configured(segments);
  // v = rate x horizon (ms) x 0.0005; beyond |v| = 1 the rotation is (v, 1) normalised.
  const struct {
    const char* horizon;
    Eigen::Quaterniond prediction;
  } cases[] = {
      {"50", Eigen::Quaterniond(std::sqrt(1 - 0.0125 * 0.0125), 0, 0, 0.0125)},
      {"5000", Eigen::Quaterniond(1, 0, 0, 1.25).normalized()},
  };
  for (const auto& c : cases) {
    const auto ahead = Configured(segments, {{"PredictionTime", c.horizon}});
    for (const std::size_t n : {100, 148}) {
      const Eigen::Quaterniond expected = ToEigen(now[n]) * c.prediction;
      ExpectNear(ahead[n], {expected.x(), expected.y(), expected.z(), expected.w()}, kTolerance,
                 std::string("horizon ") + c.horizon + ", frame " + std::to_string(n));
    }
  }
}

// The base frames with `count` copies of `inserted` before frame `at`.
std::vector<Segment> Inserted(const std::vector<Segment>& base, int at, const Segment& inserted, int count) {
  std::vector<Segment> segments;
  int left = at;
  for (const auto& segment : base) {
    if (left >= 0 && left <= segment.frames) {
      segments.push_back({left, segment.acceleration, segment.rate, segment.field});
      segments.push_back({count, inserted.acceleration, inserted.rate, inserted.field});
      segments.push_back({segment.frames - left, segment.acceleration, segment.rate, segment.field});
    } else {
      segments.push_back(segment);
    }
    left -= segment.frames;
  }
  return segments;
}

// A frame that would turn the attitude into no number leaves the stage as if
// it had not come and shows the last good attitude. Vectors that give no
// attitude (zero, or the field along gravity) pass the median filters once;
// from the second in a row they are skipped.
TEST(PICorrection, SkipsFramesItCannotUseAndShowsTheLastGoodAttitude) {
  constexpr Vec kRestRate{0.02, -0.03, 0.05};
  const auto base = Then(Still(99, kRestRate), {80, kTiltAcceleration, kRestRate, kTiltField});
  const struct {
    const char* name;
    int at;
    Vec acceleration, rate, field;
    int taken;  // of the three frames
  } cases[] = {
      {"zero acceleration in the start phase", 10, {0, 0, 0}, kRestRate, kLevelField, 1},
      {"zero acceleration", 150, {0, 0, 0}, kRestRate, kTiltField, 1},
      {"field along gravity", 150, kTiltAcceleration, kRestRate, Scaled(kTiltAcceleration, 0.5), 1},
      {"zero field", 150, kTiltAcceleration, kRestRate, {0, 0, 0}, 1},
      {"acceleration not a number", 150, {0, kNaN, 1}, kRestRate, kTiltField, 0},
      {"infinite rate", 150, kTiltAcceleration, {kInf, 0, 0}, kTiltField, 0},
      {"infinite field", 150, kTiltAcceleration, kRestRate, {0, -kInf, 0}, 0},
      {"a rotation too large for one frame", 150, kTiltAcceleration, {400, 0, 0}, kTiltField, 0},
  };
  for (const auto& c : cases) {
    const Segment bad{0, c.acceleration, c.rate, c.field};
    const auto expected = Configured(Inserted(base, c.at, bad, c.taken));
    const auto outputs = Configured(Inserted(base, c.at, bad, 3));
    const auto at = static_cast<std::size_t>(c.at);
    const auto taken = static_cast<std::size_t>(c.taken);
    for (std::size_t n = at + taken; n < at + 3; ++n)
      EXPECT_EQ(outputs[n], outputs[n - 1]) << c.name << ": frame " << n << " shows " << Show(outputs[n]);
    for (std::size_t n = 0; n < expected.size(); ++n) {
      const std::size_t shifted = n < at + taken ? n : n + 3 - taken;
      ExpectNear(outputs[shifted], expected[n], 0, std::string(c.name) + ", frame " + std::to_string(shifted));
    }
    for (const auto& q : outputs) ASSERT_TRUE(std::isfinite(q[0] + q[1] + q[2] + q[3])) << c.name << ": " << Show(q);
  }
}

TEST(PICorrection, TakesOverTheRecordsOwnQuaternionOnlyWhenItIsOne) {
  // A record stamped by an earlier frame (its buffer handed in again) carries
  // the attitude to go on from, without a start phase.
  const struct {
    const char* name;
    Quat4 recordQuaternion;
    std::vector<std::pair<int, Quat4>> expected;  // empty: as if unstamped
  } cases[] = {
      {"0.1 rad about x",
       {0.04997916927067833, 0.0, 0.0, 0.9987502603949663},
       {{0, {0.04997916927067833, 0.0, 0.0, 0.9987502603949663}},
        {1, {0.044984814037660234, 0.0, 0.0, 0.9989876708478425}},
        {2, {0.040488929220481314, 0.0, 0.0, 0.9991799870947071}},
        {5, {0.029520210788363425, 0.0, 0.0, 0.9995641836095422}}}},
      {"zero", {0, 0, 0, 0}, {}},
      {"not a number", {kNaN, 0, 0, 1}, {}},
  };
  const auto unstamped = Configured(Still(6));
  for (const auto& c : cases) {
    const auto stage = Stage();
    SendModelThresholds(*stage);
    ASSERT_TRUE(stage->Configure({}, nullptr));
    Record first;
    first.Put(kAcceleration, kLevelAcceleration);
    first.Put(kField, kLevelField);
    first.Put(kQuaternion, c.recordQuaternion.data(), 4);
    const std::uint32_t stamp = 1;
    std::memcpy(first.bytes.data() + kStamp, &stamp, sizeof stamp);
    ASSERT_TRUE(stage->Process(nullptr, first.bytes.data()));
    auto outputs = Feed(*stage, Still(5));
    outputs.insert(outputs.begin(), first.Quaternion());
    if (c.expected.empty()) {
      for (std::size_t n = 0; n < outputs.size(); ++n)
        ExpectNear(outputs[n], unstamped[n], 0, std::string(c.name) + ", frame " + std::to_string(n));
    }
    for (const auto& [frame, q] : c.expected)
      ExpectNear(outputs[static_cast<std::size_t>(frame)], q, kTolerance, std::string(c.name) + ", frame " + std::to_string(frame));
  }
}

TEST(PICorrection, StampsMillisecondsOfASteadyClockNotOfProcessorTime) {
  const auto stage = Stage();
  ASSERT_TRUE(stage->Configure({}, nullptr));
  const auto stampOfNextFrame = [&] {
    Record record;
    record.Put(kAcceleration, kLevelAcceleration);
    record.Put(kField, kLevelField);
    EXPECT_TRUE(stage->Process(nullptr, record.bytes.data()));
    return record.Stamp();
  };
  const auto first = stampOfNextFrame();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // asleep: no processor time passes
  const auto second = stampOfNextFrame();
  EXPECT_GE(second - first, 30u) << first << " then " << second;
}

TEST(PICorrection, ReinitialisesFromTheNextFrameOnAResetOfMode2) {
  const auto stage = Stage();
  SendModelThresholds(*stage);
  ASSERT_TRUE(stage->Configure(Tree({{"KpINI", "0.2"}}), nullptr));
  Feed(*stage, Then(Still(99), {2, kTiltAcceleration, kNoRate, kTiltField}));
  const int mode = 2;
  ASSERT_TRUE(stage->Configure(Tree({{"KpINI", "0.7"}}), &mode));
  const auto outputs = Feed(*stage, {{3, kTiltAcceleration, kNoRate, kTiltField}});
  const Eigen::Quaterniond tilt(Eigen::AngleAxisd(5 * kPi / 180, Eigen::Vector3d::UnitX()));
  for (const auto& q : outputs) ExpectNear(q, {tilt.x(), tilt.y(), tilt.z(), tilt.w()}, kTolerance, "after the reset");

  double kpIni[32] = {};
  stage->ExecuteCommand("get kpini", nullptr, kpIni);
  EXPECT_EQ(kpIni[0], 0.2) << "a reset of mode 2 reads no configuration";
}

using Array = std::array<double, 32>;

Array Filled(double value) {
  Array array;
  array.fill(value);
  return array;
}

double Get(CPICorrection& stage, const std::string& name, int position) {
  auto output = Filled(-1);
  EXPECT_TRUE(stage.ExecuteCommand("get " + name, nullptr, output.data()));
  for (int p = 0; p < 32; ++p) {
    if (p == position) continue;
    EXPECT_EQ(output[static_cast<std::size_t>(p)], -1) << name << ": element " << p << " written";
  }
  return output[static_cast<std::size_t>(position)];
}

TEST(PICorrection, ReadsEachKeyWithTheSensorsOwnKeyOverIt) {
  const auto stage = Stage(3);
  SendModelThresholds(*stage);
  ASSERT_TRUE(stage->Configure(Tree({{"KpINI", "0.2"},
                                     {"sensor_3_KpINI", "0.3"},
                                     {"sensor_30_KpINI", "0.9"},
                                     {"KprMagINI", "0.5"},
                                     {"sensor_3_KprMagINI", "fast"},
                                     {"ThreshGyroINI", "slow"},
                                     {"Frequency", "200"},
                                     {"sensor_3_smoothing_mode", "2"}}),
                               nullptr));
  const struct {
    const char* name;
    double value;
  } cases[] = {
      {"kpini", 0.3},
      {"kprmagini", 0.5},                  // an unreadable own key is ignored
      {"porogdusini", 10.0},               // an unreadable key takes the default
      {"frequency", 200},
      {"kpstatic", 0.01 / 200},            // a half-angle per frame
      {"smoothing_mode", 2},
      {"gyrthreshformotiondetect", 0.05},  // as the model set it
      {"magthreshformotiondetect", 0.02},
      {"k p i\tn i", 0.3},                // white space inside the name is dropped
  };
  for (const auto& c : cases) EXPECT_EQ(Get(*stage, c.name, 3), c.value) << c.name;
  // Names without a command, and unknown ones, answer nothing.
  for (const char* name : {"threshlinearacc", "reset_after_drop", "KpINI", "kpin"})
    EXPECT_EQ(Get(*stage, name, 3), -1) << name;
}

TEST(PICorrection, SetValuesHoldUntilTheNextConfigureReadsTheKeysAgain) {
  const auto stage = Stage(3);
  SendModelThresholds(*stage);
  ASSERT_TRUE(stage->Configure({}, nullptr));
  const struct {
    const char* name;
    double set;
    double afterConfigure;
  } cases[] = {
      {"kpini", 0.5, 0.1},
      {"frequency", 500, 100},
      {"gyrthreshformotiondetect", 0.2, 0.2},  // the keys' default is the current value
      {"magthreshformotiondetect", 0.3, 0.3},
  };
  for (const auto& c : cases) {
    auto input = Filled(7);
    input[3] = c.set;
    EXPECT_TRUE(stage->ExecuteCommand(std::string("set ") + c.name, input.data(), nullptr));
    EXPECT_EQ(Get(*stage, c.name, 3), c.set) << c.name;
  }
  auto input = Filled(7);
  EXPECT_TRUE(stage->ExecuteCommand("set nosuchname", input.data(), nullptr));
  ASSERT_TRUE(stage->Configure({}, nullptr));
  for (const auto& c : cases) EXPECT_EQ(Get(*stage, c.name, 3), c.afterConfigure) << c.name;
}

TEST(PICorrection, RefusesAFrequencyOutsideTheTableAndKeepsItsConfiguration) {
  const auto stage = Stage();
  ASSERT_TRUE(stage->Configure(Tree({{"Frequency", "200"}, {"KpINI", "0.3"}}), nullptr));
  for (const char* frequency : {"120", "0", "-100", "60.001"}) {
    try {
      stage->Configure(Tree({{"Frequency", frequency}, {"KpINI", "0.4"}}), nullptr);
      ADD_FAILURE() << frequency << " Hz was accepted";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "unknown frequency") << frequency;
    }
    EXPECT_EQ(Get(*stage, "frequency", 0), 200) << frequency;
    EXPECT_EQ(Get(*stage, "kpini", 0), 0.3) << frequency;
    EXPECT_EQ(Get(*stage, "kpstatic", 0), 0.01 / 200) << frequency;
  }
  // Slower rates run with the 60 Hz motion filter, integrating at their own rate.
  ASSERT_TRUE(stage->Configure(Tree({{"Frequency", "30"}}), nullptr));
  EXPECT_EQ(Get(*stage, "frequency", 0), 30);
  const auto outputs = Feed(*stage, Still(40));
  ExpectNear(outputs.back(), kIdentity, kTolerance, "level and still at 30 Hz");
}

TEST(PICorrection, CommandsReachOnlyTheSensorsOwnElementIfItHasOne) {
  // Arrays of exactly 32 on the heap: a stray element shows under AddressSanitizer.
  for (const int position : {-1, 32, 40}) {
    const auto stage = Stage(position);
    ASSERT_TRUE(stage->Configure({}, nullptr));
    const auto input = std::make_unique<Array>(Filled(0.7));
    const auto output = std::make_unique<Array>(Filled(-1));
    EXPECT_TRUE(stage->ExecuteCommand("set kpini", input->data(), nullptr)) << position;
    EXPECT_TRUE(stage->ExecuteCommand("get kpini", nullptr, output->data())) << position;
    EXPECT_EQ(*output, Filled(-1)) << position;
  }
  const auto stage = Stage(0);
  ASSERT_TRUE(stage->Configure({}, nullptr));
  EXPECT_TRUE(stage->ExecuteCommand("set kpini", nullptr, nullptr));  // as the models pass "set" on
  EXPECT_TRUE(stage->ExecuteCommand("get kpini", nullptr, nullptr));
  EXPECT_EQ(Get(*stage, "kpini", 0), 0.1);
  EXPECT_TRUE(stage->ExecuteCommand("computegyrooffset", nullptr, nullptr));
  EXPECT_FALSE(stage->ExecuteCommand("computegyrooffset now", nullptr, nullptr));
  EXPECT_FALSE(stage->ExecuteCommand("setkpini", nullptr, nullptr));
  EXPECT_FALSE(stage->ExecuteCommand("dc clear", nullptr, nullptr));
}

}  // namespace
