#include "processing/model/DKv3.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <Eigen/LU>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "processing/model/CalibrationArea16.h"

namespace Processing::QN {

namespace {

using namespace CalibrationArea16;
using LittleEndian::Word;

constexpr std::size_t kTemperatureWord = 9;
constexpr std::size_t kMag = 2;  // triple of the magnetic field

// The three bias words of a triple.
constexpr Block BiasesOf(std::size_t triple) { return {kBiases.offset + 6 * triple, 3}; }

}  // namespace

CDKv3::CDKv3(const SensorPtr& sensor, StagePtr next) : CDKv(sensor, std::move(next), kUnitFactors) {
  SendMotionThresholds(0.002, 0.01);
}

bool CDKv3::PrepareCalibration(const std::uint8_t*, SensorRecord&) {
  working_ = factory_;
  return true;
}

bool CDKv3::CompensateTemperature(const std::uint8_t* words, SensorRecord&) {
  const double d = Word(words, kTemperatureWord) * kRawScale - referenceTemperature_;
  const ThermalBlock& block = thermal_[d > 0 ? 0 : 1];
  working_.biases += d * block.biases;
  for (std::size_t t = 0; t < kTriples.size(); ++t) working_.matrices[t] += d * block.matrices[t];
  return true;
}

bool CDKv3::ApplyCalibration(const std::uint8_t* words, SensorRecord& record) {
  for (std::size_t t = 0; t < kTriples.size(); ++t) {
    const Eigen::Vector3d raw = RawTriple(words, t, kRawScale, record);
    TripleOf(record, t) = working_.matrices[t] * (raw - working_.biases.segment<3>(static_cast<Eigen::Index>(3 * t)));
  }
  record.temperature = Word(words, kTemperatureWord) * kTemperatureScale;
  return true;
}

void CDKv3::ConvertUnits(SensorRecord& values) { ScaleTriples(values, kUnitFactors); }

bool CDKv3::LoadCalibration(FlashImage& image) {
  // Host thread, frames held off by the manager's gate.
  current_ = {};
  factory_ = {};
  working_ = {};
  thermal_ = {};
  referenceTemperature_ = 0;
  ResetParameterBlocks();
  if (!LoadableImage(image, kImageBytes)) return false;

  for (std::size_t t = 0; t < kTriples.size(); ++t) {
    const auto at = static_cast<Eigen::Index>(t);
    current_.scales[at] = Signed(image, kScales, t);
    current_.biases.segment<3>(3 * at) = Vector(image, kBiases, 3 * t, kWordScale);
    current_.matrices[t] = Matrix(image, kMatrices[t], 0, current_.scales[at] * kWordScale);
  }
  referenceTemperature_ = Signed(image, kReferenceTemperature) * kWordScale;
  if (GetSwitches().thermo) {
    for (std::size_t b = 0; b < thermal_.size(); ++b) {
      for (std::size_t t = 0; t < kTriples.size(); ++t) {
        thermal_[b].biases.segment<3>(3 * static_cast<Eigen::Index>(t)) =
            Vector(image, kThermalBlocks[b], 3 * t, kWordScale);
        thermal_[b].matrices[t] = Matrix(image, kThermalBlocks[b], 9 + 9 * t, kWordScale);
      }
    }
  }

  factory_ = current_;
  if (Word(image, kAccPart.factoryMarker) == kValid)
    factory_.biases.head<3>() = Vector(image, kAccPart.factory[0], 0, kWordScale);
  const bool magBackup = Word(image, kMagPart.factoryMarker) == kValid;
  if (magBackup) {
    factory_.scales[kMag] = Signed(image, kMagPart.factory[0]);
    factory_.biases.tail<3>() = Vector(image, kMagPart.factory[1], 0, kWordScale);
    factory_.matrices[kMag] = Matrix(image, kMagPart.factory[2], 0, factory_.scales[kMag] * kWordScale);
  }

  // The calibrations differ by offsets in pre-conversion units; the blocks hold output units.
  Vector9d offsets = Vector9d::Zero();
  offsets.head<3>() =
      kUnitFactors[0] * factory_.matrices[0] * (current_.biases.head<3>() - factory_.biases.head<3>());
  offsets.tail<3>() =
      kUnitFactors[kMag] * factory_.matrices[kMag] * (current_.biases.tail<3>() - factory_.biases.tail<3>());
  SetOffsets(offsets.data());
  // An erased or zeroed factory matrix has no inverse; a deviation from it would
  // make every frame's field, and the attitude behind it, non-finite.
  const Eigen::Matrix3d deviation = current_.matrices[kMag] * factory_.matrices[kMag].inverse();
  if (factory_.matrices[kMag].determinant() != 0.0 && deviation.allFinite()) {
    SetMagMatrix(deviation.data());
  } else {
    QLOG(error) << "factory magnetic-field matrix is singular: no magnetic-field deviation in this calibration";
  }

  // Without a factory backup the current matrix is the factory one; the image
  // shows it so from now on.
  if (!magBackup) CopyWords(image, kMagPart.main[2], kMagPart.factory[2]);
  KeepAsLoaded();
  return true;
}

Eigen::Vector3d CDKv3::StorableBiases(std::size_t triple, const char* message) const {
  const auto at = static_cast<Eigen::Index>(3 * triple);
  const Eigen::Matrix3d gain = kUnitFactors[triple] * factory_.matrices[triple];
  const Eigen::Vector3d biases = gain.inverse() * Offsets().segment<3>(at) + factory_.biases.segment<3>(at);
  if (!std::all_of(biases.data(), biases.data() + 3, StorableBias)) throw std::logic_error(message);
  return biases;
}

bool CDKv3::StoreCalibration(FlashImage& image, std::uint32_t flags) {
  RequireImageBytes(image, kImageBytes);
  if ((flags & kAccFlag) && CalculatedSinceLoad(0)) {
    const Eigen::Vector3d biases = StorableBiases(0, "out accOffset are too high");
    BackUp(image, kAccPart);
    PutBiases(image, BiasesOf(0), biases);
  }
  if ((flags & kGyrFlag) && CalculatedSinceLoad(1))
    PutBiases(image, BiasesOf(1), StorableBiases(1, "out gyrOffset are too high"));
  if ((flags & kMagFlag) && CalculatedSinceLoad(kMag)) {
    const Eigen::Vector3d biases = StorableBiases(kMag, "out _deviationCompensationOffsets are too high");
    // The matrix goes back as words of at most kStoredMatrixLimit of full
    // scale, times the smallest whole scale word that allows it.
    const Eigen::Matrix3d matrix = DeviationMatrix(kMag) * factory_.matrices[kMag];
    const char* tooHigh = "out _deviationCompensationMag are too high";
    if (!matrix.allFinite()) throw std::logic_error(tooHigh);
    const double scale = std::max(std::ceil(matrix.cwiseAbs().maxCoeff() / kStoredMatrixLimit), 1.0);
    if (scale > kHighestScale) throw std::logic_error(tooHigh);
    BackUp(image, kMagPart);
    PutBiases(image, BiasesOf(kMag), biases);
    PutWord(image, kMagPart.main[0], static_cast<std::uint16_t>(scale));
    PutMatrix(image, kMagPart.main[2], matrix * (1.0 / scale));
  }
  return true;
}

bool CDKv3::RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) {
  RequireImageBytes(image, kImageBytes);
  if (flags & kAccFlag) Restore(image, kAccPart, method);
  if (flags & kGyrFlag) throw std::logic_error("unit is not support restore");
  if (flags & kMagFlag) Restore(image, kMagPart, method);
  return true;
}

}  // namespace Processing::QN
