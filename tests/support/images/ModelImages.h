#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestFrames.h"

// Flash images of the DKv5, DKv6 and DKv7 generations, written word by word at
// offsets given here by hand, so that a wrong layout in the SDK shows.
namespace ModelImages {

using Bytes = std::vector<std::uint8_t>;
using Words3 = std::array<std::int32_t, 3>;
using Words9 = std::array<std::int32_t, 9>;  // a matrix: row by row

struct ThermalEntry {
  std::uint16_t index;
  std::int32_t c0, c1, c2;
};

// 32-bit words, value = word x 2^-27.
struct Calibration {
  Words9 biases;        // acceleration, angular rate, magnetic field
  Words9 scaleFactors;
  std::array<Words9, 3> matrices;
  std::array<ThermalEntry, 18> thermal;
  Words3 magOffsets;    // deviation
  Words9 magMatrix;     // deviation
  std::optional<Words3> factoryAccBiases;  // with its marker
};

constexpr std::int32_t kOne = 0x08000000;
constexpr std::uint32_t kValid = 0x69696969;
constexpr std::uint32_t kRolledBack = 0x96969696;

inline void PutS32(Bytes& image, std::size_t at, std::int32_t word) {
  TestFrames::Put32(image, at, static_cast<std::uint32_t>(word));
}

template <std::size_t N>
void PutAll(Bytes& image, std::size_t at, const std::array<std::int32_t, N>& words) {
  for (std::size_t i = 0; i < N; ++i) PutS32(image, at + 4 * i, words[i]);
}

inline std::int32_t S32At(const Bytes& image, std::size_t at) {
  return static_cast<std::int32_t>(TestFrames::U32At(image.data(), at));
}

inline Bytes Image(const Calibration& c, std::size_t size = 2048) {
  Bytes image(size, 0);
  PutAll(image, 36, c.biases);
  PutAll(image, 72, c.scaleFactors);
  for (std::size_t m = 0; m < 3; ++m) PutAll(image, 108 + 36 * m, c.matrices[m]);
  for (std::size_t e = 0; e < 18; ++e) {
    const std::size_t at = 216 + 16 * e;
    TestFrames::Put16(image, at, c.thermal[e].index);
    TestFrames::Put16(image, at + 2, 0xBEEF);  // not read
    PutS32(image, at + 4, c.thermal[e].c0);
    PutS32(image, at + 8, c.thermal[e].c1);
    PutS32(image, at + 12, c.thermal[e].c2);
  }
  if (c.factoryAccBiases) {
    TestFrames::Put32(image, 944, kValid);
    PutAll(image, 948, *c.factoryAccBiases);
  }
  PutAll(image, 1024, c.magOffsets);
  PutAll(image, 1036, c.magMatrix);
  return image;
}

// Zero biases, unit scale factors and matrices, no thermal effect, no deviation.
inline Calibration Unit() {
  Calibration c{};
  c.scaleFactors.fill(kOne);
  for (auto& m : c.matrices) m = {kOne, 0, 0, 0, kOne, 0, 0, 0, kOne};
  c.magMatrix = {kOne, 0, 0, 0, kOne, 0, 0, 0, kOne};
  return c;
}

// Biases, non-unit scale factors, matrices that are not symmetric, thermal
// entries whose index is not their place in the table (slot 9 named twice,
// the later entry counting; slot 15 named by none) and a magnetic-field deviation.
inline Calibration Worked() {
  Calibration c{};
  c.biases = {1342177, -2684355, 4026532, 671088, -335544, 134217, 13421772, -6710886, 3355443};
  c.scaleFactors = {136902082, 131533373, 140928614, 268435456, 255013683, 281857229, 67108864, 60397978, 73819750};
  c.matrices = {{{134217728, 2684355, -1342177, 4026532, 132875551, 2013265, -3355443, 671088, 135559905},
                 {135559905, -1342177, 671088, 2013265, 134217728, -4026532, 1342177, 3355443, 132875551},
                 {130023424, 6710886, -2684355, -4026532, 138412032, 1342177, 2684355, -1342177, 136902082}}};
  c.thermal = {{{3, 134217, 67108, 2684},        {0, -268435, 33554, -1342},     {9, 671088, -134217, 5368},
                {14, -402653, 100663, -4026},    {8, 201326, -67108, 1342},      {1, 134217, 13421, 671},
                {2, -67108, 26843, -2013},       {4, 40265, -53687, 3355},       {5, -93952, 80530, -671},
                {6, 1342177, -201326, 6710},     {7, -671088, 167772, -5368},    {10, 268435, 40265, 1342},
                {11, -134217, -40265, -1342},    {12, 536870, 67108, 2684},      {13, -536870, -67108, -2684},
                {16, 335544, 13421, 4026},       {17, -335544, -13421, -4026},   {9, 805306, -100663, 8053}}};
  c.magOffsets = {6710886, -4026532, 2684355};
  c.magMatrix = {137573171, 4026532, -2013265, -2684355, 130862284, 1342177, 1006632, -3355443, 134217728};
  return c;
}

inline Bytes WordBytes(const std::vector<std::int16_t>& words) {
  Bytes bytes(2 * words.size());
  TestFrames::PutWords(bytes, 0, words);
  return bytes;
}

// The raw words of the worked frame: three triples, then the temperature.
inline std::vector<std::int16_t> WorkedWords() { return {1200, -800, 2100, 150, -320, 77, 900, -450, 300, 7000}; }

// What a model writes into the record.
struct Expected {
  double uncalibrated[9];
  double acceleration[3], angularRate[3], magneticField[3];
  double temperature;
};

// The worked frame through the worked image, all switches on: worked out
// independently from the calibration formulas (python3, plain floats).
constexpr Expected kWorkedFrame{
    {0.5859375, -0.390625, 1.025390625, 0.0732421875, -0.15625, 0.03759765625, 0.439453125, -0.2197265625, 0.146484375},
    {-0.5733867076598268, 0.32871686765079922, -1.0368421906260423},
    {0.2711302987685677, -0.58000344307857821, 0.13487700876448402},
    {0.10692469252465557, -0.053394996941451632, 0.054039767552202106},
    27.34375};

}  // namespace ModelImages
