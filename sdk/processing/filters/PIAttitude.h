#pragma once

#include <array>

#include <Eigen/Geometry>

#include "processing/filters/MotionDetection.h"

namespace Processing::QN {

// The PI correction's parameters, with their defaults. Rates are in the
// units the model writes, which the correction takes as rad/s.
struct PIParameters {
  double kpIni = 0.1;               // proportional gain of the attitude correction
  double kpStatic = 0.01;           // correction rate at rest; a half-angle per frame (rad) once configured
  double threshMagIni = 0.15;       // allowed deviation of the field magnitude from its reference
  double magErrorComp = 0.5;        // decay of the heading offset per frame at low rotation rate
  double magErrorCompMax = 0.99;    // the same above threshGyroIni
  double threshLinearAcc = 0.01;    // read; no step uses it
  double delayOnMagDisturb = 1.0;   // heading correction stays off this long after a disturbance (s)
  double kprMagIni = 0.0284;        // fraction of the heading error corrected per frame
  double threshGyroIni = 10.0;      // rotation rate that selects magErrorCompMax (deg/s)
  double frequency = 100.0;         // frame rate (Hz)
  double timeStart = 1.0;           // start phase (s)
  // Motion thresholds: the models set them for their generation before any
  // Configure; these are the current generations' values.
  double gyrThreshForMotionDetect = 0.05;
  double magThreshForMotionDetect = 0.02;
  double gyroZeroAveragingTime = 1.0;  // window of the gyroscope zero and the field reference (s)
  double predictionTime = 0;           // prediction horizon (ms)
  double isMagChannel = 1.0;           // below 0.5 the field always counts as disturbed
  double isMagNewNorCalc = 1.0;        // above 0 the field reference is learned again at rest
  double smoothingMode = 0;            // above 0 smooth the measured attitude; above 1 also zero the rate at rest
  double smoothingGain = 0.5;          // interpolation factor of the smoothing
  double resetAfterDrop = 0;           // below 0.5 a re-initialisation also takes the field reference anew
};

// The PI correction's state and per-frame step: integrates the angular rate
// into an attitude and pulls it towards the attitude measured from gravity
// and the magnetic field. Pure arithmetic on the record's vectors.
class CPIAttitude {
 public:
  struct Input {
    Eigen::Vector3d acceleration;  // sensor frame
    Eigen::Vector3d rate;          // sensor frame, rad/s
    Eigen::Vector3d field;         // sensor frame
    Eigen::Quaterniond recordQuaternion;
    bool stamped;  // the record carries a time stamp of an earlier frame
  };
  enum class Result {
    kOutput,   // Output() holds the frame's attitude
    kAdopted,  // the record's own quaternion was taken over; the record stays as it is
    kSkipped,  // input or result unusable: nothing changed, Output() is the last good one
  };

  CPIAttitude();

  // A new start phase with the parameters' rates and counts. Throws
  // std::logic_error "unknown frequency" before anything changes.
  void Reset(const PIParameters& parameters);
  // Measures the attitude afresh at the next frame.
  void RequestReinitialisation() { state_.reinitialise = true; }
  // Takes the next frame's rate as the gyroscope offset.
  void RequestOffsetCapture() { state_.captureOffset = true; }

  Result Step(const PIParameters& parameters, const Input& input);
  const Eigen::Quaterniond& Output() const { return state_.output; }

 private:
  // The median of the last three vectors by magnitude.
  struct Median3 {
    std::array<Eigen::Vector3d, 3> vectors{{Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero()}};
    std::array<double, 3> magnitudes{};
    int index = 0;
    int filled = 0;
  };

  struct State {
    // Frame counts, from the parameters at Reset.
    int startFrames = 0;
    int delayFrames = 0;
    int averagingFrames = 0;
    double frequency = 100.0;  // Hz, as of Reset

    MotionFilter rateFilter, fieldFilter;
    MotionCounter rateCounter, fieldCounter;
    Median3 accelerationMedian, fieldMedian;

    Eigen::Vector3d capturedOffset = Eigen::Vector3d::Zero();  // rad/s
    Eigen::Vector3d gyroSums = Eigen::Vector3d::Zero();
    Eigen::Vector3d gyroZero = Eigen::Vector3d::Zero();  // rad/s
    Eigen::Vector3d previousRate = Eigen::Vector3d::Zero();  // corrected, rad/s

    Eigen::Quaterniond q = Eigen::Quaterniond::Identity();         // the estimate
    Eigen::Quaterniond smoothed = Eigen::Quaterniond::Identity();  // smoothed measurement
    Eigen::Quaterniond heading = Eigen::Quaterniond::Identity();   // offset, a rotation about z
    Eigen::Quaterniond output = Eigen::Quaterniond::Identity();

    double referenceMagnitude = 1;  // of the undisturbed field
    double magnitudeSum = 0;
    int magnitudeCount = 0;
    int startCount = 0;   // start frames seen
    int delayCount = 0;   // frames since the last disturbance
    int windowCount = 0;  // frames in the gyroscope-zero window

    bool waiting = false;  // heading correction off after a disturbance
    bool reinitialise = false;
    bool captureOffset = false;
    bool adopted = false;
  };

  static Eigen::Vector3d MedianOf(Median3& median, const Eigen::Vector3d& v);
  // One frame on a copy of the state; false leaves the copy to be dropped.
  static bool Advance(const PIParameters& parameters, const Input& input, State& state, Result& result);

  State state_;
};

}  // namespace Processing::QN
