#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "processing/filters/MekfKalman.h"
#include "processing/filters/Quaternion.h"

namespace Processing::QN {

// Multiplicative extended Kalman filter of one sensor's attitude.
//
// Conventions of this filter beyond those of the attitude stages (Quaternion.h):
// - R(q) takes a vector from the sensor frame into the reference frame, R(q)^T
//   back. In the reference frame gravity points along d = (0, 0, -1) and the
//   horizontal direction gravity x field along h = (1, 0, 0).
// - The acceleration given to a step points the way gravity pulls (an
//   accelerometer at rest reads its negation); it and the field may be in any
//   unit. Angular rates are in rad/s. All three are in the sensor frame.
//
// After every reset the filter aligns over 100 frames (mean gravity and field
// give the attitude, the mean rate the gyro bias); then each frame propagates
// the attitude with the bias-corrected rate and, when the gravity residuals of
// the last window of 10 frames allow it, corrects attitude and bias.
//
// A frame it cannot use (a value not finite, no acceleration, no field across
// gravity) is skipped whole: the frame before's output is returned and no state
// changes. All state is fixed size; a step allocates nothing.
class CMekfFilter {
 public:
  using Vector = Eigen::Vector3d;
  using Matrix = Eigen::Matrix3d;

  static constexpr int kAlignmentFrames = 100;
  static constexpr int kWindowFrames = 10;
  static constexpr double kInitialFrequency = 500;  // Hz, until the first Reset

  CMekfFilter();

  // Starts aligning again with dt = 1 / frequency (Hz). A frequency that gives
  // no positive finite dt keeps the previous dt, and the answer is false.
  bool Reset(double frequency);

  // One frame: acceleration, magnetic field and angular rate in the sensor
  // frame. Returns the output attitude: (0, 0, 0, 1) while aligning.
  const Eigen::Quaterniond& Step(const Vector& acceleration, const Vector& field, const Vector& rate);

  const Eigen::Quaterniond& Attitude() const { return attitude_; }
  const Vector& GyroBias() const { return bias_; }  // rad/s
  const Matrix& Covariance() const { return kalman_.Covariance(); }
  double SamplePeriod() const { return period_; }  // s
  bool Initialised() const { return initialised_; }

 private:
  using AlignmentBuffer = Eigen::Matrix<double, kAlignmentFrames, 9, Eigen::RowMajor>;  // g, m, w per frame
  using ResidualWindow = Eigen::Matrix<double, 3, kWindowFrames>;                       // one residual a column

  // The alignment: takes the frame's row and, with the last row, the attitude
  // and bias. True when the alignment completed with this frame.
  bool Update();
  void Propagate();
  void EnterResidual();
  void CloseWindow();
  void Correct(const Vector& innovation);

  Eigen::Quaterniond output_;
  Eigen::Quaterniond attitude_;  // q
  Vector gravity_;               // g: the frame's unit gravity direction
  Vector field_;                 // m: as passed in
  Vector rate_;                  // w: bias-corrected, rad/s
  Vector bias_;                  // b, rad/s
  CMekfKalman kalman_;
  Matrix transition_;            // F
  Matrix measurement_;           // H
  Matrix gain_;                  // K of the last update
  Matrix measurementNoise_;      // R0 for the next update
  Matrix processNoise_;          // Q
  Matrix accumulatedNoise_;      // Qa since the last update
  Matrix initialCovariance_;
  bool updateRequested_ = true;
  Vector predictedGravity_;      // p: d seen from the sensor frame
  ResidualWindow residuals_;
  Vector residualSum_;           // S: absolute residuals since the window last filled
  int residualCount_ = 0;        // 0 to 9
  int windowCount_ = 0;          // complete windows since the last update
  double period_;                // dt, s
  bool initialised_ = false;
  AlignmentBuffer alignment_;
  int alignmentCount_ = 0;
};

}  // namespace Processing::QN
