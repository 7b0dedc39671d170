#pragma once

#include <array>

#include "processing/model/DKv.h"

namespace Processing::QN {

// Model of DKv3 raw-data sensors, and of DKv4 through its subclass. Words w0 to
// w8 are the three triples, w9 the temperature, all signed 16-bit; raw scale
// 2^-15, temperature w9 x 2^-8. Each triple is calibrated as
// matrix x (raw - biases), biases and matrices corrected for temperature by
// d x a thermal block, d = w9 x 2^-15 - reference temperature (upper block
// for d > 0, lower block otherwise). Calibration comes from the image's 16-bit
// area (CalibrationArea16.h).
//
// The image's main blocks hold the current calibration; its factory backups
// (of the acceleration biases and of the magnetic-field scale, biases and
// matrix) hold the factory one. Frames are calibrated with the factory
// calibration and the difference between the two becomes the deviation
// compensation.
class CDKv3 : public CDKv {
 public:
  // Output units: triple times its factor (acceleration, angular rate, magnetic field).
  static constexpr std::array<double, 3> kUnitFactors{2.0, 1000.0, -2.0};
  static constexpr double kRawScale = 1.0 / 32768.0;        // 2^-15
  static constexpr double kTemperatureScale = 1.0 / 256.0;  // 2^-8
  static constexpr std::size_t kInputBytes = 10 * 2;

  CDKv3(const SensorPtr& sensor, StagePtr next);

  void ConvertUnits(SensorRecord& values) override;
  bool PrepareCalibration(const std::uint8_t* words, SensorRecord& record) override;
  bool CompensateTemperature(const std::uint8_t* words, SensorRecord& record) override;
  bool ApplyCalibration(const std::uint8_t* words, SensorRecord& record) override;

  // Bit 0: acceleration biases; bit 1: angular-rate biases; bit 2: magnetic-
  // field biases, scale word and matrix. Bits 0 and 2 back up what they replace
  // (factory copy once, previous copy each time). A part whose new words would
  // not hold its values throws before anything of it is written; an image too
  // short for the calibration area throws before anything at all.
  bool StoreCalibration(FlashImage& image, std::uint32_t flags) override;
  // Also completes the image's factory magnetic-field matrix from the current
  // one while the image has no factory backup of it. An image shorter than the
  // calibration area leaves every value at its default (false, logged).
  bool LoadCalibration(FlashImage& image) override;
  bool RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) override;

  // A calibration set; pre-conversion units.
  struct Set {
    // s_a, s_g, s_m as their words stand; already applied to the matrices.
    Eigen::Vector3d scales = Eigen::Vector3d::Ones();
    Vector9d biases = Vector9d::Zero();
    std::array<Eigen::Matrix3d, 3> matrices{Eigen::Matrix3d::Identity(), Eigen::Matrix3d::Identity(),
                                            Eigen::Matrix3d::Identity()};
  };
  // Coefficients of the biases and matrices, per unit of temperature distance.
  struct ThermalBlock {
    Vector9d biases = Vector9d::Zero();
    std::array<Eigen::Matrix3d, 3> matrices{Eigen::Matrix3d::Zero(), Eigen::Matrix3d::Zero(),
                                            Eigen::Matrix3d::Zero()};
  };

 private:
  // The biases that make the factory calibration give the output-unit offsets
  // (as the fits compute them) as its error; refused unless each fits a word.
  Eigen::Vector3d StorableBiases(std::size_t triple, const char* message) const;

  Set current_;  // the image's main blocks
  Set factory_;  // current_ with the factory backups: what frames use
  std::array<ThermalBlock, 2> thermal_;  // upper, lower
  Set working_;  // this frame's: factory_ corrected for temperature
  double referenceTemperature_ = 0;  // same scale as w9 x 2^-15
};

}  // namespace Processing::QN
