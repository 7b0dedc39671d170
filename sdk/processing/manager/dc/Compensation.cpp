#include "processing/manager/dc/Compensation.h"

#include <algorithm>
#include <stdexcept>

#include "processing/compensation/Fits.h"
#include "processing/compensation/Messages.h"

namespace Processing::Manager::QN::Dc {

namespace {

namespace Fit = Processing::Compensation;
using Processing::QN::CDKv;

// Offset triples in the model's block of nine.
constexpr int kAccOffsets = 0;
constexpr int kGyrOffsets = 3;
constexpr int kMagOffsets = 6;

const Batch& FirstBatch(const Batches& batches) {
  if (batches.empty()) throw std::logic_error(Fit::Message::kTooLittleData);
  return batches.front();
}

const SensorRecord& RecordOf(const SdkFrame& frame, const CDKv& model) {
  return frame.sensors[static_cast<std::size_t>(model.Position()) % kPositions];
}

Fit::Samples Triples(const Batch& batch, const CDKv& model, double (SensorRecord::*triple)[3]) {
  Fit::Samples samples(static_cast<Eigen::Index>(batch.size()), 3);
  for (std::size_t i = 0; i < batch.size(); ++i)
    samples.row(static_cast<Eigen::Index>(i)) = Eigen::Map<const Eigen::RowVector3d>(RecordOf(batch[i], model).*triple);
  return samples;
}

// The record holds x, y, z, w; the fits take w, x, y, z.
Fit::Quaternions Attitudes(const Batch& batch, const CDKv& model) {
  Fit::Quaternions attitudes(static_cast<Eigen::Index>(batch.size()), 4);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const double* q = RecordOf(batch[i], model).quaternion;
    attitudes.row(static_cast<Eigen::Index>(i)) << q[3], q[0], q[1], q[2];
  }
  return attitudes;
}

// Replaces one triple of the nine offsets and writes all nine back.
void WriteOffsets(CDKv& model, int first, const Eigen::Vector3d& offsets) {
  Eigen::Matrix<double, 9, 1> all = Eigen::Map<const Eigen::Matrix<double, 9, 1>>(model.GetOffsets());
  all.segment<3>(first) = offsets;
  model.SetOffsets(all.data());
}

void WriteMagnetometer(CDKv& model, const Fit::Correction& correction) {
  WriteOffsets(model, kMagOffsets, -correction.shift);
  model.SetMagMatrix(correction.matrix.data());
}

}  // namespace

// Compensations change a model's blocks on the host's thread while frames may
// be processed: the collector runs only inside the manager's commands, under
// its frame gate, so no frame sees a half-written block.

CCompensation::~CCompensation() = default;

void CCompensation::Calculate(const Batches&, CDKv&) {}

void CAccCompensation::Calculate(const Batches& batches, CDKv& model) {
  offsets_ = -Fit::FitAcc(Triples(FirstBatch(batches), model, &SensorRecord::acceleration)).shift;
  WriteOffsets(model, kAccOffsets, offsets_);
}

void CGyrCompensation::Calculate(const Batches& batches, CDKv& model) {
  offsets_ = Fit::FitGyr(Triples(FirstBatch(batches), model, &SensorRecord::angularRate));
  WriteOffsets(model, kGyrOffsets, offsets_);
}

void CMagCompensation::Calculate(const Batches& batches, CDKv& model) {
  result_ = Fit::FitMag(Triples(FirstBatch(batches), model, &SensorRecord::magneticField));
  WriteMagnetometer(model, result_);
}

void CNPointsCompensation::Calculate(const Batches& batches, CDKv& model) {
  const Batch& batch = FirstBatch(batches);
  result_ = Fit::FitNPoints(Triples(batch, model, &SensorRecord::magneticField),
                            Triples(batch, model, &SensorRecord::acceleration));
  WriteMagnetometer(model, result_);
}

void CMag2DCompensation::Calculate(const Batches& batches, CDKv& model) {
  const Batch& batch = FirstBatch(batches);
  result_ = Fit::FitMag2D(Triples(batch, model, &SensorRecord::magneticField), Attitudes(batch, model));
  WriteMagnetometer(model, result_);
}

void CPlanesCompensation::Calculate(const Batches& batches, CDKv& model) {
  std::vector<Fit::Turn> turns;
  for (std::size_t j = 0; j < std::min<std::size_t>(batches.size(), 3); ++j)
    turns.push_back({Triples(batches[j], model, &SensorRecord::magneticField), Attitudes(batches[j], model)});
  correction_ = Fit::FitPlanes(turns);
  const Eigen::Matrix3d matrix = Eigen::Map<const Eigen::Matrix3d>(model.GetMagMatrix()) * correction_;
  model.SetMagMatrix(matrix.data());
}

}  // namespace Processing::Manager::QN::Dc
