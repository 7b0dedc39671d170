#pragma once

#include <set>
#include <string>
#include <vector>

#include "ParameterBase.h"

// Option names of the parameters, shared by the parameter classes and the modes
// that declare them.
namespace ParameterNames {
inline const std::string Input = "input";
inline const std::string Output = "output";
inline const std::string Force = "force";
inline const std::string MagnetometerGain = "magnetometer-gain";
inline const std::string MagnetometerChannel = "magnetometer-channel";
// Its underscore is part of the published option name.
inline const std::string HardwareGyroCalibrationDisable = "hardware-gyro_calibration-disable";
inline const std::string HardwareGyroCalibrationDuration = "hardware-gyro-calibration-duration";
inline const std::string GyroSource = "gyro-source";
inline const std::string DryRun = "dry-run";
inline const std::string Verbose = "verbose";
inline const std::string GyroVector = "gyro-vector";
}  // namespace ParameterNames

// An existing file, directory or other entry to read from.
class ParameterInputPath : public ParameterBaseWithValue<std::string> {
 public:
  explicit ParameterInputPath(const std::string& description);
  void validate() override;
};

// A file whose directory exists.
class ParameterOutputPath : public ParameterBaseWithValue<std::string> {
 public:
  explicit ParameterOutputPath(const std::string& description);
  void validate() override;
};

class ParameterForce : public ParameterBaseWithValue<NoneParameterValue> {
 public:
  ParameterForce();
};

class ParameterDryRun : public ParameterBaseWithValue<NoneParameterValue> {
 public:
  ParameterDryRun();
};

class ParameterVerbose : public ParameterBaseWithValue<NoneParameterValue> {
 public:
  ParameterVerbose();
};

// Percent of full gain, 0 to 100.
class ParameterMagnetometerGain : public ParameterBaseWithValue<int> {
 public:
  ParameterMagnetometerGain();
  void validate() override;
};

class ParameterMagnetometerChannel : public ParameterBaseWithValue<int> {
 public:
  ParameterMagnetometerChannel();
  void validate() override;
};

class ParameterHardwareGyroCalibrationDisable : public ParameterBaseWithValue<int> {
 public:
  ParameterHardwareGyroCalibrationDisable();
  void validate() override;
};

// Seconds, 0 to 131: stored as samples at 500 per second in a 16-bit field.
class ParameterHardwareGyroCalibrationDuration : public ParameterBaseWithValue<int> {
 public:
  ParameterHardwareGyroCalibrationDuration();
  void validate() override;
};

class ParameterGyroCalibrationSource : public ParameterBaseWithValue<std::string> {
 public:
  ParameterGyroCalibrationSource();
  void validate() override;

  std::set<std::string> allowedValues;
};

// Three raw gyro words.
class ParameterGyroVector : public ParameterBaseWithValue<std::vector<int>> {
 public:
  ParameterGyroVector();
  void validate() override;
};
