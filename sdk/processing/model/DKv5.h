#pragma once

#include <array>

#include "processing/model/DKv.h"

namespace Processing::QN {

// Model of DKv5 raw-data sensors, and of DKv6 and DKv7 through its subclasses.
// Words w0 to w8 are the three triples, w9 the temperature, all signed 16-bit;
// raw scale 2^-11, temperature w9 x 2^-8. Each triple is calibrated as
// matrix x (scale factors .* (raw - biases)), the biases and scale factors
// corrected for temperature by c0 + (c1 + c2 d) d with d = w9 x 2^-11.
// Calibration comes from the image's 32-bit area (CalibrationArea.h).
class CDKv5 : public CDKv {
 public:
  // Output units: triple times its factor (acceleration, angular rate, magnetic field).
  static constexpr std::array<double, 3> kUnitFactors{-1.0, 2.0, 1.0};
  static constexpr double kRawScale = 1.0 / 2048.0;        // 2^-11
  static constexpr double kTemperatureScale = 1.0 / 256.0;  // 2^-8
  static constexpr std::size_t kInputBytes = 10 * 2;

  CDKv5(const SensorPtr& sensor, StagePtr next);

  void ConvertUnits(SensorRecord& values) override;
  bool PrepareCalibration(const std::uint8_t* words, SensorRecord& record) override;
  bool CompensateTemperature(const std::uint8_t* words, SensorRecord& record) override;
  bool ApplyCalibration(const std::uint8_t* words, SensorRecord& record) override;

  // Bit 0: acceleration biases, after backing them up (factory copy once,
  // previous copy each time); bit 1: angular-rate biases; bit 2: the
  // magnetic-field deviation. A part with a value that does not fit a word
  // throws before writing any of its values.
  bool StoreCalibration(FlashImage& image, std::uint32_t flags) override;
  // An image shorter than the calibration area leaves every value at its
  // default (false, logged).
  bool LoadCalibration(FlashImage& image) override;
  bool RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) override;

  // A calibration set: the values one frame is calibrated with.
  struct Set {
    Vector9d biases = Vector9d::Zero();        // pre-conversion units
    Vector9d scaleFactors = Vector9d::Zero();  // per axis
    std::array<Eigen::Matrix3d, 3> matrices{Eigen::Matrix3d::Zero(), Eigen::Matrix3d::Zero(),
                                            Eigen::Matrix3d::Zero()};
  };
  // Temperature coefficients by slot: 0 to 8 the biases, 9 to 17 the scale factors.
  struct ThermalTable {
    static constexpr std::size_t kSlots = 18;
    std::array<double, kSlots> c0{}, c1{}, c2{};
  };

 private:
  void StoreBiases(FlashImage& image, std::size_t triple, const char* message) const;

  Set base_;                // from the image's main blocks
  Set working_;             // this frame's: base_ corrected for temperature
  Vector9d currentBiases_ = Vector9d::Zero();  // as the main block holds them
  ThermalTable thermal_;
};

}  // namespace Processing::QN
