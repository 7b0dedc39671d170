#pragma once

#include <vector>

#include "processing/compensation/Samples.h"

// The field-calibration fits, from the sample matrices of recorded frames of
// one sensor. Each raises std::logic_error with one of the texts of Messages.h
// and gives nothing when it refuses its data; what it gives is finite.
namespace Processing::Compensation {

// Accelerometer: an ellipsoid fit of the accelerations.
Correction FitAcc(const Samples& acceleration);

// Gyroscope: the mean angular rate (the offsets themselves, not negated).
Eigen::Vector3d FitGyr(const Samples& angularRate);

// Magnetometer: an ellipsoid fit of the field, with a second pass from a
// shift of half the radius.
Correction FitMag(const Samples& field);

// Magnetometer aligned to gravity: the ellipsoid fit's shift with the rotation
// that makes the angle between the calibrated field and gravity the same in
// every frame (the ellipsoid's matrix only prepares the samples).
Correction FitNPoints(const Samples& field, const Samples& acceleration);

// Magnetometer in the horizontal plane: the field levelled by the recorded
// attitude, fitted to a circle and taken back to the sensor frame. The matrix
// leaves z alone: its third row and column are (0, 0, 1), the shift's z is 0.
Correction FitMag2D(const Samples& field, const Quaternions& attitude);

// One recording of the sensor turning about one of its axes.
struct Turn {
  Samples field;
  Quaternions attitude;
};

// Magnetometer matrix correction (a rotation, applied on the right of the
// model's matrix) from three turns about the three axes, in any order; turns
// after the third are not read.
Eigen::Matrix3d FitPlanes(const std::vector<Turn>& turns);

}  // namespace Processing::Compensation
