#pragma once

#include <vector>

#include <Eigen/Core>

#include "processing/SdkFrame.h"
#include "processing/compensation/Samples.h"
#include "processing/model/DKv.h"

// The compensations that the collector computes by name into a sensor model's
// deviation-compensation blocks, from the frames it recorded. Each reads its
// model's block (by position) of the frames. A compensation that refuses its
// data raises std::logic_error before it writes anything into the model.
namespace Processing::Manager::QN::Dc {

using Batch = std::vector<SdkFrame>;  // one "add"
using Batches = std::vector<Batch>;

class CCompensation {
 public:
  virtual ~CCompensation();
  // The base computes nothing.
  virtual void Calculate(const Batches& batches, Processing::QN::CDKv& model);
};

// Accelerometer offsets from an ellipsoid fit of the first batch.
class CAccCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Eigen::Vector3d offsets_ = Eigen::Vector3d::Zero();
};

// Gyroscope offsets: the first batch's mean angular rate.
class CGyrCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Eigen::Vector3d offsets_ = Eigen::Vector3d::Zero();
};

// Magnetometer offsets and matrix from a fit of the first batch: "mag" an
// ellipsoid, "npoints" an ellipsoid aligned to gravity, "mag2d" the
// horizontal plane.
class CMagCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Compensation::Correction result_;
};

class CNPointsCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Compensation::Correction result_;
};

class CMag2DCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Compensation::Correction result_;
};

// Magnetometer matrix correction from the first three batches, each a turn
// about one axis: the model's matrix is multiplied by it on the right.
class CPlanesCompensation : public CCompensation {
 public:
  void Calculate(const Batches& batches, Processing::QN::CDKv& model) override;

 private:
  Eigen::Matrix3d correction_ = Eigen::Matrix3d::Identity();
};

}  // namespace Processing::Manager::QN::Dc
