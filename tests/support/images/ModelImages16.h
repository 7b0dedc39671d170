#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "ModelImages.h"
#include "TestFrames.h"

// Flash images of the DKv3 and DKv4 generations, written word by word at
// offsets given here by hand, so that a wrong layout in the SDK shows.
namespace ModelImages16 {

using Bytes = std::vector<std::uint8_t>;
using Words3 = std::array<std::int16_t, 3>;
using Words9 = std::array<std::int16_t, 9>;  // a matrix: row by row

// Signed 16-bit words: scales as they stand, the rest word / 32768 (matrices
// also times their channel's scale).
struct ThermalBlock {
  Words9 biases;
  std::array<Words9, 3> matrices;
};
struct MagCalibration {
  std::int16_t scale;
  Words3 biases;
  Words9 matrix;
};
struct Calibration {
  Words3 scales;  // acceleration, angular rate, magnetic field
  std::int16_t referenceTemperature;
  Words9 biases;
  std::array<Words9, 3> matrices;
  std::array<ThermalBlock, 2> thermal;          // upper, lower
  std::optional<Words3> factoryAccBiases;       // with its marker
  std::optional<MagCalibration> factoryMag;     // with its marker
};

constexpr std::uint16_t kValid = 0x6969;
constexpr std::uint16_t kRolledBack = 0x9696;

template <std::size_t N>
void PutAll(Bytes& image, std::size_t at, const std::array<std::int16_t, N>& words) {
  for (std::size_t i = 0; i < N; ++i) TestFrames::Put16(image, at + 2 * i, static_cast<std::uint16_t>(words[i]));
}

inline void PutMag(Bytes& image, std::size_t at, const MagCalibration& mag) {
  TestFrames::Put16(image, at, static_cast<std::uint16_t>(mag.scale));
  PutAll(image, at + 2, mag.biases);
  PutAll(image, at + 8, mag.matrix);
}

inline Bytes Image(const Calibration& c, std::size_t size = 512) {
  Bytes image(size, 0);
  PutAll(image, 12, c.scales);
  TestFrames::Put16(image, 18, static_cast<std::uint16_t>(c.referenceTemperature));
  PutAll(image, 20, c.biases);
  for (std::size_t m = 0; m < 3; ++m) PutAll(image, 38 + 18 * m, c.matrices[m]);
  for (std::size_t b = 0; b < 2; ++b) {
    PutAll(image, 92 + 72 * b, c.thermal[b].biases);
    for (std::size_t m = 0; m < 3; ++m) PutAll(image, 110 + 72 * b + 18 * m, c.thermal[b].matrices[m]);
  }
  if (c.factoryMag) {
    TestFrames::Put16(image, 356, kValid);
    PutMag(image, 358, *c.factoryMag);
  }
  if (c.factoryAccBiases) {
    TestFrames::Put16(image, 392, kValid);
    PutAll(image, 394, *c.factoryAccBiases);
  }
  return image;
}

// Channel scales 2 and identity matrices (diagonal words 16384), zero biases,
// no thermal effect, no backups.
inline Calibration Unit() {
  Calibration c{};
  c.scales = {2, 2, 2};
  for (auto& m : c.matrices) m = {16384, 0, 0, 0, 16384, 0, 0, 0, 16384};
  return c;
}

// Channel scales 2, 1 and 2, matrices that are not symmetric, a reference
// temperature of 0.3 and distinct upper and lower thermal blocks; no backups.
inline Calibration Worked() {
  Calibration c{};
  c.scales = {2, 1, 2};
  c.referenceTemperature = 9830;
  c.biases = {1311, -655, 2621, 98, -164, 33, 3277, -1966, 983};
  c.matrices = {{{16384, 328, -164, 492, 16220, 246, -410, 82, 16548},
                 {32440, -164, 82, 246, 32767, -492, 164, 410, 32276},
                 {15892, 819, -328, -492, 16876, 164, 328, -164, 16712}}};
  c.thermal = {{{{33, -16, 8, 66, -33, 16, 131, -66, 33},
                 {{{164, -33, 16, 8, -131, 33, -16, 66, 98},
                   {-98, 16, 33, -8, 197, -16, 49, -33, -164},
                   {262, -66, 0, 33, -229, 16, 8, 0, 131}}}},
                {{-49, 25, -12, -98, 49, -25, -197, 98, -49},
                 {{{-246, 49, -25, -12, 197, -49, 25, -98, -147},
                   {147, -25, -49, 12, -295, 25, -74, 49, 246},
                   {-393, 98, 0, -49, 344, -25, -12, 0, -197}}}}}};
  return c;
}

// The worked image after earlier stores: the factory copies differ from the
// main blocks, the factory field matrix with a scale of its own.
inline Calibration WorkedWithBackups() {
  Calibration c = Worked();
  c.factoryAccBiases = Words3{-1000, 2000, 500};
  c.factoryMag = MagCalibration{3, {3000, -2000, 1000}, {10650, 400, -200, -300, 11000, 100, 200, -100, 10900}};
  return c;
}

inline Bytes WordBytes(const std::vector<std::int16_t>& words) {
  Bytes bytes(2 * words.size());
  TestFrames::PutWords(bytes, 0, words);
  return bytes;
}

// Three triples, then a temperature word above the worked reference.
inline std::vector<std::int16_t> WorkedWords() {
  return {9830, -6554, 17203, 1229, -2621, 631, 7373, -3686, 2458, 14000};
}

// The worked words through the worked image, all switches on (upper thermal
// block), and through the image with backups: worked out independently from
// the calibration formulas (python3, plain floats).
constexpr ModelImages::Expected kWorkedFrame{
    {0.29998779296875, -0.20001220703125, 0.524993896484375, 0.037506103515625, -0.079986572265625,
     0.019256591796875, 0.225006103515625, -0.11248779296875, 0.07501220703125},
    {0.5040209216029979, -0.32703744607263774, 0.8842682791124441},
    {34.32092390161458, -74.92659181201796, 17.153705382286628},
    {-0.2347665617554273, 0.11405271842709999, -0.09765131894283338},
    54.6875};
constexpr ModelImages::Expected kWorkedFrameWithBackups{
    {0.29998779296875, -0.20001220703125, 0.524993896484375, 0.037506103515625, -0.079986572265625,
     0.019256591796875, 0.225006103515625, -0.11248779296875, 0.07501220703125},
    {0.5041395716868892, -0.3269340301233403, 0.884267248475322},
    {34.32092390161458, -74.92659181201796, 17.153705382286628},
    {-0.2347834653839772, 0.11405003416805949, -0.09765280040363433},
    54.6875};

}  // namespace ModelImages16
