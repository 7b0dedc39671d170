#include "processing/model/DKv5.h"

#include <sstream>
#include <stdexcept>

#include <Eigen/LU>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "processing/model/CalibrationArea.h"

namespace Processing::QN {

namespace {

using namespace CalibrationArea;
using LittleEndian::Word;

constexpr std::size_t kTemperatureWord = 9;
constexpr std::size_t kSlots = CDKv5::ThermalTable::kSlots;
static_assert(kSlots == kThermalSlots);

}  // namespace

CDKv5::CDKv5(const SensorPtr& sensor, StagePtr next) : CDKv(sensor, std::move(next), kUnitFactors) {
  SendMotionThresholds(0.02, 0.05);
}

bool CDKv5::PrepareCalibration(const std::uint8_t*, SensorRecord&) {
  working_ = base_;
  return true;
}

bool CDKv5::CompensateTemperature(const std::uint8_t* words, SensorRecord&) {
  const double d = Word(words, kTemperatureWord) * kRawScale;
  const auto corrected = [&](double base, std::size_t slot) {
    return base + thermal_.c0[slot] + (thermal_.c1[slot] + thermal_.c2[slot] * d) * d;
  };
  for (Eigen::Index i = 0; i < 9; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    working_.biases[i] = corrected(base_.biases[i], slot);
    working_.scaleFactors[i] = corrected(base_.scaleFactors[i], 9 + slot);
  }
  return true;
}

bool CDKv5::ApplyCalibration(const std::uint8_t* words, SensorRecord& record) {
  for (std::size_t t = 0; t < kTriples.size(); ++t) {
    const Eigen::Vector3d raw = RawTriple(words, t, kRawScale, record);
    const auto at = static_cast<Eigen::Index>(3 * t);
    TripleOf(record, t) = working_.matrices[t] * working_.scaleFactors.segment<3>(at).cwiseProduct(
                                                      raw - working_.biases.segment<3>(at));
  }
  record.temperature = Word(words, kTemperatureWord) * kTemperatureScale;
  return true;
}

void CDKv5::ConvertUnits(SensorRecord& values) { ScaleTriples(values, kUnitFactors); }

bool CDKv5::LoadCalibration(FlashImage& image) {
  // Host thread, frames held off by the manager's gate.
  base_ = {};
  working_ = {};
  currentBiases_.setZero();
  thermal_ = {};
  ResetParameterBlocks();
  if (!LoadableImage(image, kImageBytes)) return false;

  for (Eigen::Index n = 0; n < 9; ++n) {
    currentBiases_[n] = Value(image, kBiases, static_cast<std::size_t>(n));
    base_.scaleFactors[n] = Value(image, kScaleFactors, static_cast<std::size_t>(n));
  }
  base_.biases = currentBiases_;
  if (Marker(image, kFactoryAccMarker) == kValid) base_.biases.head<3>() = Vector(image, kFactoryAccBiases.offset);
  for (std::size_t t = 0; t < kMatrices.size(); ++t) base_.matrices[t] = Matrix(image, kMatrices[t]);

  // Entries go to the slot their index names; a later entry for the same slot wins.
  std::ostringstream skipped;
  for (std::size_t entry = 0; entry < kThermalSlots; ++entry) {
    const std::size_t at = kThermalTable.offset + kThermalEntryBytes * entry;
    const std::size_t slot = LittleEndian::U16(image.data() + at);
    if (slot >= kSlots) {
      skipped << (skipped.tellp() > 0 ? ", " : "") << entry << " (index " << slot << ")";
      continue;
    }
    const Block coefficients{at + 4, 3};
    thermal_.c0[slot] = Value(image, coefficients, 0);
    thermal_.c1[slot] = Value(image, coefficients, 1);
    thermal_.c2[slot] = Value(image, coefficients, 2);
  }
  if (skipped.tellp() > 0)
    QLOG(warning) << "thermal table entries with no slot skipped: " << skipped.str();

  // The acceleration offsets are the difference between the current and the
  // factory biases, brought to output units; the stored field deviation is in
  // them already.
  Vector9d offsets = Vector9d::Zero();
  offsets.head<3>() = kUnitFactors[0] * base_.matrices[0] *
                      base_.scaleFactors.head<3>().cwiseProduct(currentBiases_.head<3>() - base_.biases.head<3>());
  offsets.tail<3>() = Vector(image, kMagDeviationOffsets.offset);
  SetOffsets(offsets.data());
  const Eigen::Matrix3d magnetic = Matrix(image, kMagDeviationMatrix);
  SetMagMatrix(magnetic.data());
  KeepAsLoaded();
  return true;
}

bool CDKv5::StoreCalibration(FlashImage& image, std::uint32_t flags) {
  RequireWhole(image);
  if ((flags & kAccFlag) && CalculatedSinceLoad(0)) {
    if (Marker(image, kFactoryAccMarker) != kValid) {
      CopyWords(image, kBiases, kFactoryAccBiases);
      PutMarker(image, kFactoryAccMarker, kValid);
    }
    CopyWords(image, kBiases, kPreviousAccBiases);
    PutMarker(image, kPreviousAccMarker, kValid);
    StoreBiases(image, 0, "out accOffset are too high");
  }
  if ((flags & kGyrFlag) && CalculatedSinceLoad(1)) StoreBiases(image, 1, "out gyrOffset are too high");
  if (flags & kMagFlag) StoreMagDeviation(image, Offsets(), 6, DeviationMatrix(2), CalculatedSinceLoad(2));
  return true;
}

// The biases that make the factory calibration give the output-unit offsets
// (as the fits compute them) as its error.
void CDKv5::StoreBiases(FlashImage& image, std::size_t triple, const char* message) const {
  const auto at = static_cast<Eigen::Index>(3 * triple);
  const Eigen::Matrix3d gain =
      kUnitFactors[triple] * base_.matrices[triple] * base_.scaleFactors.segment<3>(at).asDiagonal();
  const Eigen::Vector3d biases = gain.inverse() * Offsets().segment<3>(at) + base_.biases.segment<3>(at);
  RequireStorable(biases.data(), 3, message);
  PutVector(image, kBiases.offset + 4 * static_cast<std::size_t>(at), biases);
}

bool CDKv5::RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) {
  RequireWhole(image);
  if (flags & kAccFlag) {
    if (method == 0) {
      const std::uint32_t marker = Marker(image, kPreviousAccMarker);
      if (marker == kRolledBack) throw std::logic_error("last HSI calibration was already rolled back");
      if (marker != kValid) throw std::logic_error("never been HSI-recalibrated, nothing to roll-back");
      CopyWords(image, kPreviousAccBiases, kBiases);
      PutMarker(image, kPreviousAccMarker, kRolledBack);
    } else if (method == 1) {
      if (Marker(image, kFactoryAccMarker) != kValid)
        throw std::logic_error("already in factory calibration state");
      CopyWords(image, kFactoryAccBiases, kBiases);
    } else {
      throw std::logic_error("unknown restore method");
    }
  }
  if (flags & kGyrFlag) throw std::logic_error("unit is not support restore");
  if (flags & kMagFlag) RestoreMagDeviation(image, method);
  return true;
}

}  // namespace Processing::QN
