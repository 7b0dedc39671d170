#pragma once

// The calibration area of DKv3 and DKv4 flash images: signed 16-bit
// little-endian words. Biases and thermal coefficients are word / 32768; a
// matrix word is scaled by its channel's scale word s as word x s / 32768; the
// scale words themselves are plain integers.

#include <array>
#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "processing/model/DKv.h"

namespace Processing::QN::CalibrationArea16 {

struct Block {
  std::size_t offset;  // bytes from the image's start
  std::size_t words;   // of 2 bytes
  constexpr std::size_t End() const { return offset + 2 * words; }
};

constexpr Block kScales{12, 3};  // s_a, s_g, s_m
constexpr Block kReferenceTemperature{18, 1};
constexpr Block kBiases{20, 9};  // acceleration, angular rate, magnetic field
constexpr std::array<Block, 3> kMatrices{{{38, 9}, {56, 9}, {74, 9}}};  // row by row, one per triple
// Thermal coefficients, times the temperature's distance from the reference:
// 9 biases, then the three matrices row by row. The upper block serves
// temperatures above the reference, the lower one the others.
constexpr std::array<Block, 2> kThermalBlocks{{{92, 36}, {164, 36}}};

// A part of the calibration that storing backs up and restoring puts back, in
// the same words in each of its three places.
struct Part {
  static constexpr std::size_t kMaxGroups = 3;
  Block previousMarker;  // kValid: previous copy there; kRolledBack: it went back in place
  Block factoryMarker;   // kValid: factory copy there
  std::size_t groups;    // word groups in use
  std::array<Block, kMaxGroups> main, previous, factory;
  const char* neverStored;  // refusal of a roll-back with no previous copy
};

constexpr Part kAccPart{{384, 1},
                        {392, 1},
                        1,
                        {{{20, 3}}},
                        {{{386, 3}}},
                        {{{394, 3}}},
                        "sensor has never been HSI-recalibrated, nothing to roll-back"};
// Scale word, biases, matrix.
constexpr Part kMagPart{{328, 1},
                        {356, 1},
                        3,
                        {{{16, 1}, {32, 3}, {74, 9}}},
                        {{{330, 1}, {332, 3}, {338, 9}}},
                        {{{358, 1}, {360, 3}, {366, 9}}},
                        "never been HSI-recalibrated, nothing to roll-back"};

constexpr std::size_t kImageBytes = kAccPart.factory[0].End();

constexpr std::uint16_t kValid = 0x6969;
constexpr std::uint16_t kRolledBack = 0x9696;
constexpr double kWordScale = 1.0 / 32768.0;
// A bias word holds -1 up to 32767/32768.
constexpr double kLowestBias = -1.0;
constexpr double kHighestBias = 32767.0 / 32768.0;
// A stored magnetic-field matrix keeps its words within this fraction of full
// scale; its scale word grows to make it so.
constexpr double kStoredMatrixLimit = 0.6;
constexpr double kHighestScale = 32767.0;

static_assert(kImageBytes == 400);
static_assert(kScales.End() == kReferenceTemperature.offset && kReferenceTemperature.End() == kBiases.offset);
static_assert(kBiases.End() == kMatrices[0].offset && kMatrices[0].End() == kMatrices[1].offset);
static_assert(kMatrices[1].End() == kMatrices[2].offset && kMatrices[2].End() == kThermalBlocks[0].offset);
static_assert(kThermalBlocks[0].End() == kThermalBlocks[1].offset);
static_assert(kThermalBlocks[1].End() <= kMagPart.previousMarker.offset);
static_assert(kAccPart.main[0].offset == kBiases.offset);
static_assert(kMagPart.main[0].offset == kScales.offset + 4 && kMagPart.main[1].offset == kBiases.offset + 12);
static_assert(kMagPart.main[2].offset == kMatrices[2].offset);
static_assert(kMagPart.previous[0].offset == kMagPart.previousMarker.End() &&
              kMagPart.previous[2].End() == kMagPart.factoryMarker.offset);
static_assert(kMagPart.factory[0].offset == kMagPart.factoryMarker.End() &&
              kMagPart.factory[2].End() == kAccPart.previousMarker.offset);
static_assert(kAccPart.previous[0].offset == kAccPart.previousMarker.End() &&
              kAccPart.previous[0].End() == kAccPart.factoryMarker.offset);
static_assert(kAccPart.factory[0].offset == kAccPart.factoryMarker.End());

// Word n of a block as it stands, and as a signed value.
std::uint16_t Word(const FlashImage& image, const Block& block, std::size_t n = 0);
void PutWord(FlashImage& image, const Block& block, std::uint16_t word);
double Signed(const FlashImage& image, const Block& block, std::size_t n = 0);
// Words n to n + 2 of a block x scale.
Eigen::Vector3d Vector(const FlashImage& image, const Block& block, std::size_t n, double scale);
// Words n to n + 8 of a block, row by row, x scale.
Eigen::Matrix3d Matrix(const FlashImage& image, const Block& block, std::size_t n, double scale);

// Copies the words of `from` over those of `to`.
void CopyWords(FlashImage& image, const Block& from, const Block& to);

// Values are written as value x 32768 truncated toward zero: biases only
// within [kLowestBias, kHighestBias], matrix elements of magnitude below 1.
bool StorableBias(double value);
void PutBiases(FlashImage& image, const Block& block, const Eigen::Vector3d& values);
void PutMatrix(FlashImage& image, const Block& block, const Eigen::Matrix3d& matrix);

// Storing: the factory copy once (with its marker), then the previous copy.
void BackUp(FlashImage& image, const Part& part);
// method 0: the previous copy back in place; 1: the factory copy. Throws
// std::logic_error when there is none to restore or the method is unknown.
void Restore(FlashImage& image, const Part& part, std::uint32_t method);

}  // namespace Processing::QN::CalibrationArea16
