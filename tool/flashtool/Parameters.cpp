#include "Parameters.h"

#include <cstdint>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

namespace {

// Compared as unsigned, so that every negative value is out of range too.
void requireAtMost(int value, std::uint32_t highest, const char* message) {
  if (static_cast<std::uint32_t>(value) > highest) throw std::runtime_error(message);
}

bool entryExists(const boost::filesystem::path& path) {
  // Any error but a missing entry throws the file-system library's own error.
  const auto type = boost::filesystem::status(path).type();
  return type != boost::filesystem::status_error && type != boost::filesystem::file_not_found;
}

}  // namespace

ParameterInputPath::ParameterInputPath(const std::string& description)
    : ParameterBaseWithValue(ParameterNames::Input, ParameterNames::Input, description, "i") {}

void ParameterInputPath::validate() {
  if (!entryExists(boost::filesystem::path(getValue())))
    throw std::invalid_argument("the input path does not exist");
}

ParameterOutputPath::ParameterOutputPath(const std::string& description)
    : ParameterBaseWithValue(ParameterNames::Output, ParameterNames::Output, description, "o") {}

void ParameterOutputPath::validate() {
  const auto path = boost::filesystem::absolute(boost::filesystem::path(getValue()),
                                                boost::filesystem::current_path());
  if (!entryExists(path.parent_path())) throw std::invalid_argument("the output path is invalid");
}

ParameterForce::ParameterForce()
    : ParameterBaseWithValue(ParameterNames::Force, ParameterNames::Force, "Bypass internal checks") {}

ParameterDryRun::ParameterDryRun()
    : ParameterBaseWithValue(ParameterNames::DryRun, ParameterNames::DryRun,
                             "Run the command without modifying the flash") {}

ParameterVerbose::ParameterVerbose()
    : ParameterBaseWithValue(ParameterNames::Verbose, ParameterNames::Verbose,
                             "Use verbose logging for the selected mode") {}

ParameterMagnetometerGain::ParameterMagnetometerGain()
    : ParameterBaseWithValue(ParameterNames::MagnetometerGain, ParameterNames::MagnetometerGain,
                             "set the value of magnetometer gain") {}

void ParameterMagnetometerGain::validate() {
  requireAtMost(getValue(), 100, "the magnetometer gain must be within [0,100]");
}

ParameterMagnetometerChannel::ParameterMagnetometerChannel()
    : ParameterBaseWithValue(ParameterNames::MagnetometerChannel, ParameterNames::MagnetometerChannel,
                             "set the value of magnetometer channel") {}

void ParameterMagnetometerChannel::validate() {
  requireAtMost(getValue(), 1, "the magnetometer channel must be either 0 or 1");
}

ParameterHardwareGyroCalibrationDisable::ParameterHardwareGyroCalibrationDisable()
    : ParameterBaseWithValue(ParameterNames::HardwareGyroCalibrationDisable,
                             ParameterNames::HardwareGyroCalibrationDisable,
                             "set this value to zero to enable the hardware gyro calibration procedure") {}

void ParameterHardwareGyroCalibrationDisable::validate() {
  requireAtMost(getValue(), 1, "the hardware gyro calibration disbale must be either 0 or 1");
}

ParameterHardwareGyroCalibrationDuration::ParameterHardwareGyroCalibrationDuration()
    : ParameterBaseWithValue(ParameterNames::HardwareGyroCalibrationDuration,
                             ParameterNames::HardwareGyroCalibrationDuration,
                             "set the duration of the hardware gyro calibration") {}

void ParameterHardwareGyroCalibrationDuration::validate() {
  requireAtMost(getValue(), 131, "the duration of the hardware gyro calibration must be within [0,131]");
}

ParameterGyroCalibrationSource::ParameterGyroCalibrationSource()
    : ParameterBaseWithValue(ParameterNames::GyroSource, ParameterNames::GyroSource,
                             "Set the data source for gyro calibration [raw,calibrated]"),
      allowedValues{"raw", "calibrated"} {}

void ParameterGyroCalibrationSource::validate() {
  if (allowedValues.count(getValue())) return;
  std::string list;
  for (const auto& allowed : allowedValues) list += (list.empty() ? "" : ",") + allowed;
  throw std::invalid_argument("parameter gyro-source must be one of: " + list);
}

ParameterGyroVector::ParameterGyroVector()
    : ParameterBaseWithValue(ParameterNames::GyroVector, ParameterNames::GyroVector,
                             "set a vector-3 containing gyro values") {}

void ParameterGyroVector::validate() {
  if (getValue().size() != 3) throw std::invalid_argument("the gyro vector needs exactly three numeric values");
}
