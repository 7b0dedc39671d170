#include "processing/model/CalibrationArea.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/LittleEndian.h"

namespace Processing::QN::CalibrationArea {

namespace {

// value x 2^27, truncated toward zero; only for storable values.
void PutValue(FlashImage& image, std::size_t offset, double value) {
  LittleEndian::PutU32(image.data() + offset, static_cast<std::uint32_t>(static_cast<std::int32_t>(value / kWordScale)));
}

}  // namespace

void RequireWhole(const FlashImage& image) { RequireImageBytes(image, kImageBytes); }

std::uint32_t Marker(const FlashImage& image, const Block& block) { return LittleEndian::U32(image.data() + block.offset); }

void PutMarker(FlashImage& image, const Block& block, std::uint32_t word) {
  LittleEndian::PutU32(image.data() + block.offset, word);
}

double Value(const FlashImage& image, const Block& block, std::size_t n) {
  return static_cast<std::int32_t>(LittleEndian::U32(image.data() + block.offset + 4 * n)) * kWordScale;
}

Eigen::Vector3d Vector(const FlashImage& image, std::size_t offset) {
  const Block block{offset, 3};
  return {Value(image, block, 0), Value(image, block, 1), Value(image, block, 2)};
}

Eigen::Matrix3d Matrix(const FlashImage& image, const Block& block) {
  Eigen::Matrix3d matrix;
  for (Eigen::Index r = 0; r < 3; ++r)
    for (Eigen::Index c = 0; c < 3; ++c) matrix(r, c) = Value(image, block, static_cast<std::size_t>(3 * r + c));
  return matrix;
}

void CopyWords(FlashImage& image, const Block& from, const Block& to) {
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from.offset), 4 * std::min(from.words, to.words),
              image.begin() + static_cast<std::ptrdiff_t>(to.offset));
}

bool Storable(double value) { return std::isfinite(value) && std::abs(value) < kStorableLimit; }

void RequireStorable(const double* values, std::size_t count, const char* message) {
  if (!std::all_of(values, values + count, Storable)) throw std::logic_error(message);
}

void PutVector(FlashImage& image, std::size_t offset, const Eigen::Vector3d& values) {
  for (Eigen::Index i = 0; i < 3; ++i) PutValue(image, offset + 4 * static_cast<std::size_t>(i), values[i]);
}

void PutMatrix(FlashImage& image, const Block& block, const Eigen::Matrix3d& matrix) {
  for (Eigen::Index r = 0; r < 3; ++r)
    for (Eigen::Index c = 0; c < 3; ++c)
      PutValue(image, block.offset + 4 * static_cast<std::size_t>(3 * r + c), matrix(r, c));
}

void StoreMagDeviation(FlashImage& image, const Vector9d& offsets, std::size_t firstChecked,
                       const Eigen::Matrix3d& matrix, bool calculated) {
  RequireStorable(offsets.data() + firstChecked, 9 - firstChecked, "out _deviationCompensationOffsets are too high");
  RequireStorable(matrix.data(), 9, "out _deviationCompensationMag are too high");
  if (!calculated) return;
  PutVector(image, kMagDeviationOffsets.offset, offsets.segment<3>(6));
  PutMatrix(image, kMagDeviationMatrix, matrix);
}

void RestoreMagDeviation(FlashImage& image, std::uint32_t method) {
  if (method == 0) throw std::logic_error("can be rolled back only to factory calibration");
  if (method != 1) throw std::logic_error("unknown restore method");
  PutVector(image, kMagDeviationOffsets.offset, Eigen::Vector3d::Zero());
  PutMatrix(image, kMagDeviationMatrix, Eigen::Matrix3d::Identity());
}

namespace {

void RequireMagFlag(std::uint32_t flags) {
  if (!(flags & kMagFlag)) throw std::logic_error("unsupported sensetive element");
}

}  // namespace

void StoreMagOnly(FlashImage& image, std::uint32_t flags, const Vector9d& offsets, std::size_t firstChecked,
                  const Eigen::Matrix3d& matrix, bool calculated) {
  RequireWhole(image);
  RequireMagFlag(flags);
  StoreMagDeviation(image, offsets, firstChecked, matrix, calculated);
}

void RestoreMagOnly(FlashImage& image, std::uint32_t flags, std::uint32_t method) {
  RequireWhole(image);
  RequireMagFlag(flags);
  RestoreMagDeviation(image, method);
}

}  // namespace Processing::QN::CalibrationArea
