#pragma once

// The calibration area of DKv5, DKv6 and DKv7 flash images: signed 32-bit
// little-endian words, value = word x 2^-27 unless a block says otherwise.

#include <array>
#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "processing/model/DKv.h"

namespace Processing::QN::CalibrationArea {

struct Block {
  std::size_t offset;  // bytes from the image's start
  std::size_t words;   // of 4 bytes
  constexpr std::size_t End() const { return offset + 4 * words; }
};

constexpr Block kBiases{36, 9};        // acceleration, angular rate, magnetic field
constexpr Block kScaleFactors{72, 9};  // same order
constexpr std::array<Block, 3> kMatrices{{{108, 9}, {144, 9}, {180, 9}}};  // row by row, one per triple
// 18 entries of 16 bytes: u16 slot index at +0, 2 bytes unused, c0, c1, c2 at +4, +8, +12.
constexpr Block kThermalTable{216, 18 * 4};
constexpr Block kPreviousAccMarker{928, 1};
constexpr Block kPreviousAccBiases{932, 3};
constexpr Block kFactoryAccMarker{944, 1};
constexpr Block kFactoryAccBiases{948, 3};
constexpr Block kMagDeviationOffsets{1024, 3};
constexpr Block kMagDeviationMatrix{1036, 9};  // row by row

constexpr std::size_t kThermalSlots = 18;  // 9 biases, then 9 scale factors
constexpr std::size_t kThermalEntryBytes = 16;
constexpr std::size_t kImageBytes = kMagDeviationMatrix.End();

constexpr std::uint32_t kValid = 0x69696969;       // a backup is there
constexpr std::uint32_t kRolledBack = 0x96969696;  // the previous copy went back into place
constexpr std::uint32_t kOne = 0x08000000;         // 1.0
constexpr double kWordScale = 1.0 / 134217728.0;    // 2^-27
// Largest magnitude (exclusive) whose word fits 32 bits.
constexpr double kStorableLimit = 16.0;

static_assert(kImageBytes == 1072);
static_assert(kScaleFactors.offset == kBiases.End() && kMatrices[0].offset == kScaleFactors.End());
static_assert(kMatrices[1].offset == kMatrices[0].End() && kMatrices[2].offset == kMatrices[1].End());
static_assert(kThermalTable.offset == kMatrices[2].End());
static_assert(kThermalTable.words * 4 == kThermalSlots * kThermalEntryBytes);
static_assert(kThermalTable.End() <= kPreviousAccMarker.offset);
static_assert(kPreviousAccBiases.offset == kPreviousAccMarker.End() && kFactoryAccMarker.offset == kPreviousAccBiases.End());
static_assert(kFactoryAccBiases.offset == kFactoryAccMarker.End() && kFactoryAccBiases.End() <= kMagDeviationOffsets.offset);
static_assert(kMagDeviationMatrix.offset == kMagDeviationOffsets.End());
static_assert(static_cast<double>(kOne) * kWordScale == 1.0);

// Throws std::logic_error when the image is too short for the area, before
// anything is read or written.
void RequireWhole(const FlashImage& image);

// A one-word block read or written as it stands (the markers).
std::uint32_t Marker(const FlashImage& image, const Block& block);
void PutMarker(FlashImage& image, const Block& block, std::uint32_t word);
// Value of word n of a block.
double Value(const FlashImage& image, const Block& block, std::size_t n);
Eigen::Vector3d Vector(const FlashImage& image, std::size_t offset);
Eigen::Matrix3d Matrix(const FlashImage& image, const Block& block);
// Copies the words of `from` over those of `to`.
void CopyWords(FlashImage& image, const Block& from, const Block& to);

// Whether a value fits a word: finite and of magnitude below 16.
bool Storable(double value);
// Throws std::logic_error(message) unless each of the count values is storable.
void RequireStorable(const double* values, std::size_t count, const char* message);
void PutVector(FlashImage& image, std::size_t offset, const Eigen::Vector3d& values);
void PutMatrix(FlashImage& image, const Block& block, const Eigen::Matrix3d& matrix);

// Stores the magnetic-field deviation: offsets 6 to 8 and the matrix. Checks
// the offsets from `firstChecked` to 8, then the matrix, then writes them
// unless nothing was calculated since the load.
void StoreMagDeviation(FlashImage& image, const Vector9d& offsets, std::size_t firstChecked,
                       const Eigen::Matrix3d& matrix, bool calculated);
// Restores the magnetic-field deviation; only method 1 (zero offsets, identity) exists.
void RestoreMagDeviation(FlashImage& image, std::uint32_t method);
// Store and restore of the generations whose image keeps nothing but the
// magnetic-field deviation: flags without bit 2 are refused, others ignored.
void StoreMagOnly(FlashImage& image, std::uint32_t flags, const Vector9d& offsets, std::size_t firstChecked,
                  const Eigen::Matrix3d& matrix, bool calculated);
void RestoreMagOnly(FlashImage& image, std::uint32_t flags, std::uint32_t method);

}  // namespace Processing::QN::CalibrationArea
