#include "processing/filters/MekfFilter.h"

#include <cmath>

#include <Eigen/LU>

namespace Processing::QN {

namespace {

using Vector = CMekfFilter::Vector;
using Matrix = CMekfFilter::Matrix;

const Vector kDown(0, 0, -1);       // d: gravity in the reference frame
const Vector kHorizontal(1, 0, 0);  // h: gravity x field in the reference frame

constexpr double kProcessNoiseLevel = 7.5e-7;
constexpr double kMeasurementNoiseLevel = 1.5e-6;
constexpr double kResidualThreshold = 0.004;  // tau
constexpr double kStillRateSpread = 0.0002;   // (rad/s)^2, summed over the axes
constexpr double kBiasGain = 0.01;
constexpr int kWindowsBeforeForcedUpdate = 500;
constexpr double kForcedUpdateNoiseScale = 100;

// A field closer than this (as the sine of the angle) to gravity's line gives
// no heading; exactly parallel or zero would give NaN.
constexpr double kMinFieldSine = 1e-9;

// H is built from unit vectors, so its scale is fixed: a determinant this small
// means the attitude is within about 5e-8 rad of a half turn, where the inverse
// is rounding noise (or, at exactly a half turn, not there at all).
constexpr double kHalfTurnDeterminant = 1e-14;

// The unit vector along gravity x field, or false when there is none.
bool HorizontalDirection(const Vector& gravity, const Vector& field, Vector& horizontal) {
  const Vector across = gravity.cross(field);
  const double length = across.norm();
  if (!(length > kMinFieldSine * field.norm())) return false;
  horizontal = across / length;
  return horizontal.allFinite();
}

// The vector observations of gravity ug and horizontal direction ue, both in
// the reference frame as the attitude sees them, against d and h.
struct Observation {
  Matrix measurement;  // H = (trace B + 2) I - (B + B^T), B = ug d^T + ue h^T
  Vector innovation;   // z = ug x d + ue x h
};

Observation Observe(const Vector& gravity, const Vector& horizontal) {
  const Matrix b = gravity * kDown.transpose() + horizontal * kHorizontal.transpose();
  return {(b.trace() + 2) * Matrix::Identity() - (b + b.transpose()),
          gravity.cross(kDown) + horizontal.cross(kHorizontal)};
}

// The axis of a half turn: H is then of rank 2 and symmetric, so the axis
// spanning its null space is across any two of its independent rows.
Vector NullAxis(const Matrix& h) {
  Vector best = h.row(0).cross(h.row(1));
  for (const Vector& candidate : {Vector(h.row(1).cross(h.row(2))), Vector(h.row(2).cross(h.row(0)))})
    if (candidate.squaredNorm() > best.squaredNorm()) best = candidate;
  return best.normalized();
}

}  // namespace

CMekfFilter::CMekfFilter() : period_(1 / kInitialFrequency) {
  alignment_.setZero();
  Reset(kInitialFrequency);
}

bool CMekfFilter::Reset(double frequency) {
  const double period = 1 / frequency;
  const bool accepted = std::isfinite(frequency) && frequency > 0 && std::isfinite(period);
  if (accepted) period_ = period;

  output_.setIdentity();
  attitude_.setIdentity();
  gravity_.setZero();
  field_.setZero();
  rate_.setZero();
  bias_.setZero();

  residuals_.setZero();
  predictedGravity_ = kDown;
  residualSum_.setZero();
  residualCount_ = 0;
  windowCount_ = 0;

  transition_.setIdentity();
  measurement_.setZero();
  gain_.setZero();
  measurementNoise_ = kMeasurementNoiseLevel * Matrix::Identity();
  processNoise_ = kProcessNoiseLevel * Matrix::Identity();
  accumulatedNoise_.setZero();
  initialCovariance_.setIdentity();
  kalman_.SetUp(initialCovariance_, measurementNoise_);

  updateRequested_ = true;
  alignmentCount_ = 0;
  initialised_ = false;
  return accepted;
}

const Eigen::Quaterniond& CMekfFilter::Step(const Vector& acceleration, const Vector& field, const Vector& rate) {
  // A frame that would put NaN into the state is skipped before anything
  // changes: NaN would stay in q, b and P until the next reset.
  const double accelerationNorm = acceleration.norm();
  if (!(accelerationNorm > 0) || !std::isfinite(accelerationNorm) || !rate.allFinite()) return output_;
  const Vector gravity = acceleration / accelerationNorm;
  Vector horizontal;
  if (!HorizontalDirection(gravity, field, horizontal)) return output_;

  gravity_ = gravity;
  field_ = field;
  rate_ = rate - bias_;
  if (!initialised_) {
    Update();
    return output_;
  }

  Propagate();
  EnterResidual();

  const Matrix rotation = attitude_.toRotationMatrix();
  const Observation observation = Observe((rotation * gravity_).normalized(), rotation * horizontal);
  measurement_ = observation.measurement;
  if (updateRequested_) Correct(observation.innovation);

  output_ = attitude_;
  return output_;
}

bool CMekfFilter::Update() {
  alignment_.row(alignmentCount_) << gravity_.transpose(), field_.transpose(), rate_.transpose();
  ++alignmentCount_;
  if (alignmentCount_ < kAlignmentFrames) {
    initialised_ = false;
    return false;
  }

  const Eigen::Matrix<double, 1, 9> mean = alignment_.colwise().sum() / kAlignmentFrames;
  const Vector meanGravity = mean.segment<3>(0).transpose();
  const Vector meanField = mean.segment<3>(3).transpose();
  const Vector meanRate = mean.segment<3>(6).transpose();

  // Frames that each had a heading may still average to none (a sensor turned
  // over during the alignment): align again over the next frames.
  const double meanGravityNorm = meanGravity.norm();
  Vector horizontal;
  if (!(meanGravityNorm > 0) || !HorizontalDirection(meanGravity / meanGravityNorm, meanField, horizontal)) {
    alignmentCount_ = 0;
    return false;
  }

  bias_ = meanRate;
  const double rateSpread =
      ((alignment_.rightCols<3>().rowwise() - mean.segment<3>(6)).array().square().colwise().sum() /
       kAlignmentFrames)
          .sum();
  if (rateSpread > kStillRateSpread) bias_.setZero();

  const Observation observation = Observe(meanGravity / meanGravityNorm, horizontal);
  Eigen::Quaterniond turn;
  if (std::abs(observation.measurement.determinant()) > kHalfTurnDeterminant) {
    turn = SmallRotation(observation.measurement.inverse() * observation.innovation);
  } else {
    // The correction's limit as the attitude nears a half turn: the turn itself.
    const Vector axis = NullAxis(observation.measurement);
    if (!(axis.squaredNorm() > 0)) {
      alignmentCount_ = 0;
      return false;
    }
    turn = Quat(axis.x(), axis.y(), axis.z(), 0);
  }
  measurement_ = observation.measurement;
  attitude_ = (turn * attitude_).normalized();

  predictedGravity_ = meanGravity;
  updateRequested_ = true;
  initialised_ = true;
  return true;
}

void CMekfFilter::Propagate() {
  const Eigen::Quaterniond delta = SmallRotation((period_ / 2) * rate_);
  attitude_ = (attitude_ * delta).normalized();
  const Matrix noiseInput = (period_ / 2) * attitude_.toRotationMatrix();  // G
  accumulatedNoise_ += noiseInput * processNoise_ * noiseInput.transpose();
  predictedGravity_ = delta.toRotationMatrix().transpose() * predictedGravity_;
}

void CMekfFilter::EnterResidual() {
  const Vector residual = predictedGravity_ - gravity_;
  residuals_.col(residualCount_) = residual;
  residualSum_ += residual.cwiseAbs();
  if (++residualCount_ == kWindowFrames) CloseWindow();
}

void CMekfFilter::CloseWindow() {
  const Vector mean = residuals_.rowwise().sum() / kWindowFrames;
  const Vector variance = (residuals_.colwise() - mean).array().square().rowwise().sum() / kWindowFrames;
  ++windowCount_;
  residualCount_ = 0;
  if (20 * kResidualThreshold > residualSum_.sum() ||
      2 * kResidualThreshold * kResidualThreshold > variance.sum())
    updateRequested_ = true;
  measurementNoise_ = variance.asDiagonal();
  residualSum_.setZero();
  if (windowCount_ > kWindowsBeforeForcedUpdate) {
    measurementNoise_ *= kForcedUpdateNoiseScale;
    updateRequested_ = true;
  }
}

void CMekfFilter::Correct(const Vector& innovation) {
  kalman_.SetNoise(measurementNoise_);
  updateRequested_ = false;
  // A singular update is left out; the windows that follow ask again.
  if (!kalman_.Correct(transition_, measurement_, accumulatedNoise_)) return;

  windowCount_ = 0;
  measurementNoise_ = kMeasurementNoiseLevel * Matrix::Identity();
  gain_ = kalman_.Gain();
  accumulatedNoise_.setZero();

  const Vector correction = gain_ * innovation;  // dtheta
  const Vector biasCorrection = kBiasGain * (attitude_.toRotationMatrix().transpose() * correction);
  attitude_ = (SmallRotation(correction) * attitude_).normalized();
  bias_ -= biasCorrection;
  predictedGravity_ = attitude_.toRotationMatrix().transpose() * kDown;
}

}  // namespace Processing::QN
