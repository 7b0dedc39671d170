#include "processing/filters/PIAttitude.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "processing/filters/Quaternion.h"

namespace Processing::QN {

namespace {

using Eigen::Quaterniond;
using Eigen::Vector3d;

constexpr double kDegreesPerRadian = 57.29;       // as the gain schedule was tuned, not 180/pi
constexpr double kStaticAngle = 0.003490658503988659;  // 0.2 degree (rad): below it the fixed step takes over
constexpr int kStaticLevel = 50;                  // rate motion level below which the fixed step may apply
constexpr int kSmoothingLevel = 100;              // rate motion level up to which the measurement is smoothed
constexpr double kRestRate = 0.09;                // rad/s: above it no gyroscope zero is learned
constexpr double kHeadingFloor = 1e-7;            // heading offsets below this are none
constexpr double kAxisFloor = 1e-5;               // corrections below this have no axis
constexpr double kEulerFloor = 1e-12;             // gimbal lock below this

// int(value) that saturates instead of overflowing; NaN counts as 0.
int FrameCount(double value) {
  if (!(value == value)) return 0;
  return static_cast<int>(std::clamp(value, static_cast<double>(std::numeric_limits<int>::min()),
                                     static_cast<double>(std::numeric_limits<int>::max())));
}

// The attitude whose rotation matrix has the rows X (east of a x m), Y and Z
// (up, against gravity), by Shepperd's method. False when gravity is zero or
// the field parallel to it.
bool AttitudeFrom(const Vector3d& a, const Vector3d& m, Quaterniond& attitude) {
  const double gravity = a.norm();
  const Vector3d east = a.cross(m);
  const double eastNorm = east.norm();
  if (!(gravity > 0) || !(eastNorm > 0)) return false;
  const Vector3d Z = -a / gravity;
  const Vector3d X = east / eastNorm;
  const Vector3d zx = Z.cross(X);
  const Vector3d Y = zx / zx.norm();

  const double trace = X.x() + Y.y() + Z.z();
  Quaterniond q;
  if (trace > 0) {
    const double f = std::sqrt(trace + 1);
    q = Quat((Z.y() - Y.z()) / (2 * f), (X.z() - Z.x()) / (2 * f), (Y.x() - X.y()) / (2 * f), f / 2);
  } else if (Y.y() > X.x() && Y.y() > Z.z()) {
    const double f = std::sqrt(1 + Y.y() - X.x() - Z.z());
    const double k = f == 0 ? 0 : 0.5 / f;
    q = Quat((X.y() + Y.x()) * k, f / 2, (Y.z() + Z.y()) * k, (X.z() - Z.x()) * k);
  } else if (Z.z() > X.x()) {
    const double f = std::sqrt(1 + Z.z() - X.x() - Y.y());
    const double k = f == 0 ? 0 : 0.5 / f;
    q = Quat((X.z() + Z.x()) * k, (Y.z() + Z.y()) * k, f / 2, (Y.x() - X.y()) * k);
  } else {
    const double f = std::sqrt(1 + X.x() - Y.y() - Z.z());
    const double k = f == 0 ? 0 : 0.5 / f;
    q = Quat(f / 2, (X.y() + Y.x()) * k, (X.z() + Z.x()) * k, (Z.y() - Y.z()) * k);
  }
  attitude = q.normalized();
  return AllFinite(attitude);
}

struct EulerAngles {
  double yaw, pitch, roll;  // rad; pitch within [-pi/2, pi/2]
};

// From the rotation matrix of e, which is not normalised first.
EulerAngles EulerOf(const Quaterniond& e) {
  const double x = e.x(), y = e.y(), z = e.z(), w = e.w();
  const double m00 = 1 - 2 * (y * y + z * z);
  const double m01 = 2 * (x * y - w * z);
  const double m10 = 2 * (x * y + w * z);
  const double m11 = 1 - 2 * (x * x + z * z);
  const double m20 = 2 * (x * z - w * y);
  const double m21 = 2 * (y * z + w * x);
  const double m22 = 1 - 2 * (x * x + y * y);
  const double n = std::sqrt(m22 * m22 + m21 * m21);
  EulerAngles angles{0, std::atan2(-m20, n), 0};
  if (n > kEulerFloor) {
    angles.yaw = std::atan2(m10, m00);
    angles.roll = std::atan2(m21, m22);
  } else {
    angles.roll = std::atan2(-m01, m11);
    if (!(m20 > 0)) angles.roll = -angles.roll;
  }
  return angles;
}

// Not normalised; the shorter way round.
Quaterniond Slerp(const Quaterniond& a, const Quaterniond& b, double t) {
  const double d = a.coeffs().dot(b.coeffs());
  double s0 = 1 - t;
  double s1 = t;
  if (std::abs(d) < 1 - std::numeric_limits<double>::epsilon()) {
    const double theta = std::acos(std::abs(d));
    s0 = std::sin((1 - t) * theta) / std::sin(theta);
    s1 = std::sin(t * theta) / std::sin(theta);
  }
  if (d < 0) s1 = -s1;
  Quaterniond result;
  result.coeffs() = s0 * a.coeffs() + s1 * b.coeffs();
  return result;
}

// Rotation by 2 x halfAngle about z.
Quaterniond AboutZ(double halfAngle) { return Quat(0, 0, std::sin(halfAngle), std::cos(halfAngle)); }

double ClampedAsin(double value) { return std::asin(std::clamp(value, -1.0, 1.0)); }

}  // namespace

CPIAttitude::CPIAttitude() {
  SetFilterCoefficients(state_.rateFilter, 60);
  SetFilterCoefficients(state_.fieldFilter, 60);
}

void CPIAttitude::Reset(const PIParameters& parameters) {
  MotionFilter rateFilter;
  SetFilterCoefficients(rateFilter, parameters.frequency);  // throws before anything changes
  State next;
  next.startFrames = FrameCount(parameters.frequency * parameters.timeStart) - 1;
  next.delayFrames = FrameCount(parameters.frequency * parameters.delayOnMagDisturb) - 1;
  next.averagingFrames = FrameCount(parameters.frequency * parameters.gyroZeroAveragingTime) - 1;
  next.frequency = parameters.frequency;
  next.rateFilter = rateFilter;
  SetFilterCoefficients(next.fieldFilter, parameters.frequency);
  ResetMotionCounter(next.rateCounter, parameters.gyrThreshForMotionDetect);
  ResetMotionCounter(next.fieldCounter, parameters.magThreshForMotionDetect);
  // Kept: the last output, and a re-initialisation that a reset asked for.
  next.output = state_.output;
  next.reinitialise = state_.reinitialise;
  state_ = next;
}

Eigen::Vector3d CPIAttitude::MedianOf(Median3& median, const Eigen::Vector3d& v) {
  const auto slot = static_cast<std::size_t>(median.index);
  median.vectors[slot] = v;
  median.magnitudes[slot] = v.norm();
  median.index = (median.index + 1) % 3;
  // The first three pass as they are.
  if (median.filled < 3) {
    ++median.filled;
    return v;
  }
  // Slots by ascending magnitude, equal ones in slot order (an insertion sort,
  // which is stable and, unlike std::stable_sort, takes no buffer).
  std::array<std::size_t, 3> order{0, 1, 2};
  for (std::size_t i = 1; i < order.size(); ++i)
    for (std::size_t j = i; j > 0 && median.magnitudes[order[j]] < median.magnitudes[order[j - 1]]; --j)
      std::swap(order[j], order[j - 1]);
  return median.vectors[order[1]];
}

CPIAttitude::Result CPIAttitude::Step(const PIParameters& parameters, const Input& input) {
  State next = state_;
  Result result = Result::kSkipped;
  if (!Advance(parameters, input, next, result)) return Result::kSkipped;
  state_ = next;
  return result;
}

bool CPIAttitude::Advance(const PIParameters& p, const Input& input, State& s, Result& result) {
  result = Result::kOutput;
  if (!s.adopted && input.stamped) {
    s.adopted = true;
    // A record without an orientation has nothing to take over.
    if (AllFinite(input.recordQuaternion) && input.recordQuaternion.norm() > 0) {
      s.q = input.recordQuaternion;
      s.startCount = s.startFrames;
      result = Result::kAdopted;
      return true;
    }
  }
  if (!input.acceleration.allFinite() || !input.rate.allFinite() || !input.field.allFinite()) return false;

  Vector3d g = input.rate;
  const Vector3d m = MedianOf(s.fieldMedian, input.field);
  const Vector3d a = MedianOf(s.accelerationMedian, -input.acceleration);
  Quaterniond measured;
  if (!AttitudeFrom(a, m, measured)) return false;

  if (s.startCount < s.startFrames) {
    s.q = measured;
    s.smoothed = measured;
    s.output = measured;
    s.magnitudeSum += m.norm();
    if (++s.startCount == s.startFrames) {
      s.referenceMagnitude = s.magnitudeSum / s.startCount;
      s.magnitudeSum = 0;
    }
    return true;
  }

  if (s.captureOffset) {
    s.capturedOffset = g;
    s.captureOffset = false;
  }
  g -= s.capturedOffset;
  const double B = m.norm();
  const double G = g.norm();

  // Gyroscope zero: the mean rate of a window at rest.
  const int rateLevel = MotionCounterUpdate(s.rateCounter, MotionFilterStep(s.rateFilter, G));
  s.gyroSums += g;
  ++s.windowCount;
  if (rateLevel > 1 || G > kRestRate) {
    s.gyroSums.setZero();
    s.windowCount = 0;
  } else if (s.windowCount > s.averagingFrames) {
    s.gyroZero = s.gyroSums / s.windowCount;
    s.gyroSums.setZero();
    s.windowCount = 0;
  }

  // Field reference: the mean magnitude of a window of a steady field.
  const int fieldLevel = MotionCounterUpdate(s.fieldCounter, MotionFilterStep(s.fieldFilter, B));
  ++s.magnitudeCount;
  s.magnitudeSum += B;
  if (fieldLevel > 1) {
    s.magnitudeCount = 0;
    s.magnitudeSum = 0;
  } else if (s.magnitudeCount > s.averagingFrames && p.isMagNewNorCalc > 0) {
    s.referenceMagnitude = s.magnitudeSum / s.magnitudeCount;
    s.magnitudeCount = 0;
    s.magnitudeSum = 0;
  }

  if (s.reinitialise) {
    s.q = measured;
    if (p.resetAfterDrop < 0.5) s.referenceMagnitude = B;
    s.waiting = false;
    s.reinitialise = false;
  }

  // Integration by the trapezoid rule.
  Vector3d omega = g - s.gyroZero;
  if (rateLevel < 1 && p.smoothingMode > 1) omega.setZero();
  const double E = omega.norm() * kDegreesPerRadian;
  const Vector3d delta = (omega + s.previousRate) * 0.25 / s.frequency;
  s.previousRate = omega;
  const double deltaSquared = delta.squaredNorm();
  if (!(deltaSquared < 1)) return false;
  s.q = (s.q * Quat(delta.x(), delta.y(), delta.z(), std::sqrt(1 - deltaSquared))).normalized();

  if (p.smoothingMode > 0) {
    if (rateLevel <= kSmoothingLevel) {
      s.smoothed = Slerp(s.smoothed, measured, p.smoothingGain);
      measured = s.smoothed;
    } else {
      s.smoothed = measured;
    }
  }

  // The error between measurement and estimate, split into yaw, pitch and roll.
  const Quaterniond error = (s.heading * measured) * s.q.conjugate();
  const EulerAngles angles = EulerOf(error);
  const double halfYaw = angles.yaw / 2;
  const Quaterniond Qx = Quat(std::sin(angles.roll / 2), 0, 0, std::cos(angles.roll / 2));
  const Quaterniond Qy = Quat(0, std::sin(angles.pitch / 2), 0, std::cos(angles.pitch / 2));
  Quaterniond K = AboutZ(halfYaw);

  // Heading: follows the field only while it is undisturbed; a disturbance's
  // yaw error goes into the heading offset, which decays afterwards.
  const bool disturbed = p.isMagChannel < 0.5 || std::abs(s.referenceMagnitude - B) > p.threshMagIni;
  if (disturbed || s.waiting) {
    s.heading = K.conjugate() * s.heading;
    K = Quaterniond::Identity();
    if (disturbed) {
      s.waiting = true;
      s.delayCount = 0;
    } else if (++s.delayCount > s.delayFrames) {
      s.delayCount = 0;
      s.waiting = false;
    }
  } else {
    const double z = std::abs(s.heading.z()) < kHeadingFloor ? 0 : s.heading.z();
    const double half = ClampedAsin(z) * (E > p.threshGyroIni ? 1 - p.magErrorCompMax : 1 - p.magErrorComp);
    s.heading = Quat(0, 0, std::sin(half), s.heading.w() >= 0 ? std::cos(half) : -std::cos(half));
    K = AboutZ(halfYaw * p.kprMagIni);
  }

  // Correction: a share of the error that falls with the rotation rate, or
  // at rest and close to the measurement a fixed step.
  const Quaterniond r = K * Qy * Qx;
  const double axisNorm = r.vec().norm();
  const double alpha = 2 * ClampedAsin(axisNorm);
  Quaterniond step = Slerp(Quaterniond::Identity(), r, p.kpIni / (E + 1));
  if (rateLevel < kStaticLevel && alpha < kStaticAngle) {
    step = Quaterniond::Identity();
    if (axisNorm >= kAxisFloor) {
      const Vector3d axis = r.vec() / axisNorm;
      step = Quat(std::sin(p.kpStatic) * axis.x(), std::sin(p.kpStatic) * axis.y(), std::sin(p.kpStatic) * axis.z(),
                  std::cos(p.kpStatic));
    }
  }
  s.q = (step * s.q).normalized();

  // Prediction by the horizon (ms) at the corrected rate.
  const Quaterniond output = s.q * SmallRotation(omega * p.predictionTime * 0.0005);
  if (!AllFinite(s.q) || !AllFinite(s.heading) || !AllFinite(output)) return false;
  s.output = output;
  return true;
}

}  // namespace Processing::QN
