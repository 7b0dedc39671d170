#include "processing/model/CalibrationArea16.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/LittleEndian.h"

namespace Processing::QN::CalibrationArea16 {

namespace {

std::size_t At(const Block& block, std::size_t n) { return block.offset + 2 * n; }

void PutValue(FlashImage& image, std::size_t at, double value) {
  LittleEndian::PutU16(image.data() + at, static_cast<std::uint16_t>(static_cast<std::int16_t>(value / kWordScale)));
}

void CopyGroups(FlashImage& image, const Part& part, const std::array<Block, Part::kMaxGroups>& from,
                const std::array<Block, Part::kMaxGroups>& to) {
  for (std::size_t g = 0; g < part.groups; ++g) CopyWords(image, from[g], to[g]);
}

}  // namespace

std::uint16_t Word(const FlashImage& image, const Block& block, std::size_t n) {
  return LittleEndian::U16(image.data() + At(block, n));
}

void PutWord(FlashImage& image, const Block& block, std::uint16_t word) {
  LittleEndian::PutU16(image.data() + block.offset, word);
}

double Signed(const FlashImage& image, const Block& block, std::size_t n) {
  return static_cast<std::int16_t>(Word(image, block, n));
}

Eigen::Vector3d Vector(const FlashImage& image, const Block& block, std::size_t n, double scale) {
  return Eigen::Vector3d(Signed(image, block, n), Signed(image, block, n + 1), Signed(image, block, n + 2)) * scale;
}

Eigen::Matrix3d Matrix(const FlashImage& image, const Block& block, std::size_t n, double scale) {
  Eigen::Matrix3d matrix;
  for (Eigen::Index r = 0; r < 3; ++r)
    for (Eigen::Index c = 0; c < 3; ++c)
      matrix(r, c) = Signed(image, block, n + static_cast<std::size_t>(3 * r + c)) * scale;
  return matrix;
}

bool StorableBias(double value) { return std::isfinite(value) && value >= kLowestBias && value <= kHighestBias; }

void CopyWords(FlashImage& image, const Block& from, const Block& to) {
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from.offset), 2 * std::min(from.words, to.words),
              image.begin() + static_cast<std::ptrdiff_t>(to.offset));
}

void PutBiases(FlashImage& image, const Block& block, const Eigen::Vector3d& values) {
  for (Eigen::Index i = 0; i < 3; ++i) PutValue(image, At(block, static_cast<std::size_t>(i)), values[i]);
}

void PutMatrix(FlashImage& image, const Block& block, const Eigen::Matrix3d& matrix) {
  for (Eigen::Index r = 0; r < 3; ++r)
    for (Eigen::Index c = 0; c < 3; ++c) PutValue(image, At(block, static_cast<std::size_t>(3 * r + c)), matrix(r, c));
}

void BackUp(FlashImage& image, const Part& part) {
  if (Word(image, part.factoryMarker) != kValid) {
    CopyGroups(image, part, part.main, part.factory);
    PutWord(image, part.factoryMarker, kValid);
  }
  CopyGroups(image, part, part.main, part.previous);
  PutWord(image, part.previousMarker, kValid);
}

void Restore(FlashImage& image, const Part& part, std::uint32_t method) {
  if (method == 0) {
    const std::uint16_t marker = Word(image, part.previousMarker);
    if (marker == kRolledBack) throw std::logic_error("last HSI calibration was already rolled back");
    if (marker != kValid) throw std::logic_error(part.neverStored);
    CopyGroups(image, part, part.previous, part.main);
    PutWord(image, part.previousMarker, kRolledBack);
  } else if (method == 1) {
    if (Word(image, part.factoryMarker) != kValid) throw std::logic_error("already in factory calibration state");
    CopyGroups(image, part, part.factory, part.main);
  } else {
    throw std::logic_error("unknown restore method");
  }
}

}  // namespace Processing::QN::CalibrationArea16
