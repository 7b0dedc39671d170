#pragma once

#include <Eigen/Core>

// Sample matrices of the compensation fits, one row per recorded frame. They
// run on a host command, not per frame, so their sizes are dynamic.
namespace Processing::Compensation {

using Samples = Eigen::Matrix<double, Eigen::Dynamic, 3>;      // x, y, z
using Quaternions = Eigen::Matrix<double, Eigen::Dynamic, 4>;  // w, x, y, z

// What a fit gives a sensor model: value -> matrix x (value + shift). The
// model's offsets are therefore -shift.
struct Correction {
  Eigen::Matrix3d matrix = Eigen::Matrix3d::Identity();
  Eigen::Vector3d shift = Eigen::Vector3d::Zero();
};

// Rows matrix x (row - t).
inline Samples TransformSamples(const Samples& samples, const Eigen::Matrix3d& matrix, const Eigen::Vector3d& t) {
  return (samples.rowwise() - t.transpose()) * matrix.transpose();
}

}  // namespace Processing::Compensation
