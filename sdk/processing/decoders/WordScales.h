#pragma once

// Scales of the sensors' fixed-point data words: 2^-n.
namespace Processing::WordScale {

constexpr double k2m8 = 1.0 / 256.0;
constexpr double k2m10 = 1.0 / 1024.0;
constexpr double k2m11 = 1.0 / 2048.0;
constexpr double k2m14 = 1.0 / 16384.0;
constexpr double k2m15 = 1.0 / 32768.0;

}  // namespace Processing::WordScale
