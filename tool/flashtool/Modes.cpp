#include "Modes.h"

#include <iostream>
#include <stdexcept>
#include <utility>

#include "Parameters.h"

namespace {

constexpr auto Required = ParameterRequirement::Required;
constexpr auto Optional = ParameterRequirement::Optional;

// Until the tool can reach a sensor, a sensor mode must fail loudly rather than
// end as if it had done its work.
[[noreturn]] void refuseWithoutSensorAccess(const ModeBase& mode) {
  throw std::runtime_error("the mode " + mode.getOptionName() + " is not available in this build");
}

}  // namespace

ModeHelp::ModeHelp(const boost::program_options::options_description* description)
    : ModeBase("help", "help", "show this help message and exit", "h"), description(description) {}

void ModeHelp::execute() { std::cout << *description << std::endl; }

ModeVersion::ModeVersion(std::string version)
    : ModeBase("version", "version", "show the version number and exit", "v"), version(std::move(version)) {}

void ModeVersion::execute() { std::cout << version << std::endl; }

ModeFields::ModeFields()
    : ModeBase("fields", "fields", "show the relevant fields of the connected device", "f") {}

void ModeFields::execute() { refuseWithoutSensorAccess(*this); }

ModeShowTemperatureCalibrationParameters::ModeShowTemperatureCalibrationParameters()
    : ModeBase("temp", "temp", "show the temperature calibration parameters of the connected device", "t") {}

void ModeShowTemperatureCalibrationParameters::execute() { refuseWithoutSensorAccess(*this); }

// "dump" owns "-d": it only reads the sensor, so a mistyped letter can never
// change the flash.
ModeDump::ModeDump() : ModeBase("dump", "dump", "dump the contents of the flash memory to file", "d") {
  declareParameter(ParameterNames::Output, Required);
}

void ModeDump::execute() { refuseWithoutSensorAccess(*this); }

ModeBackup::ModeBackup()
    : ModeBase("backup", "backup",
               "backup the contents of the flash memory to file quickly with an auto-generated filename", "b") {}

void ModeBackup::execute() { refuseWithoutSensorAccess(*this); }

ModeRestore::ModeRestore()
    : ModeBase("restore", "restore", "restore the contents of the flash memory from file", "r") {
  declareParameter(ParameterNames::Input, Required);
}

void ModeRestore::execute() { refuseWithoutSensorAccess(*this); }

ModeCalibrateGyros::ModeCalibrateGyros()
    : ModeBase("calibrate-gyros", "calibrate-gyros",
               "calibrate the gyros of the connected device and update the values in the flash", "g") {
  declareParameter(ParameterNames::GyroSource, Optional);
  declareParameter(ParameterNames::DryRun, Optional);
  declareParameter(ParameterNames::Verbose, Optional);
}

void ModeCalibrateGyros::execute() { refuseWithoutSensorAccess(*this); }

ModeConfigureForHardwareGyroCalibration::ModeConfigureForHardwareGyroCalibration()
    : ModeBase("configure-for-hardware-gyro-calibration", "configure-for-hardware-gyro-calibration",
               "update all fields required to enable hardware gyro calibration with minimal delays") {
  declareParameter(ParameterNames::Force, Optional);
  declareParameter(ParameterNames::HardwareGyroCalibrationDuration, Optional);
}

void ModeConfigureForHardwareGyroCalibration::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateMagnetometerGain::ModeUpdateMagnetometerGain()
    : ModeBase("set-magnetometer-gain", "update-magnetometer-gain",
               "update the gain of the magnetometer in the flash", "m") {
  declareParameter(ParameterNames::MagnetometerGain, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateMagnetometerGain::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateMagnetometerChannel::ModeUpdateMagnetometerChannel()
    : ModeBase("set-magnetometer-channel", "update-magnetometer-channel",
               "update the the magnetometer channel in the flash", "c") {
  declareParameter(ParameterNames::MagnetometerChannel, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateMagnetometerChannel::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateHardwareGyroCalibrationDisable::ModeUpdateHardwareGyroCalibrationDisable()
    : ModeBase("set-hardware-gyro-calibration-disable", "set-hardware-gyro-calibration-disable",
               "update the the value of the hardware gyro calibration disable") {
  declareParameter(ParameterNames::HardwareGyroCalibrationDisable, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateHardwareGyroCalibrationDisable::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateHardwareGyroCalibrationDuration::ModeUpdateHardwareGyroCalibrationDuration()
    : ModeBase("update-hardware-gyro-calibration-duration", "update-hardware-gyro-calibration-duration",
               "update the duration of the hardwar gyro calibration in the flash") {
  declareParameter(ParameterNames::HardwareGyroCalibrationDuration, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateHardwareGyroCalibrationDuration::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateLayout::ModeUpdateLayout()
    : ModeBase("update", "update", "update the flash memory layout to support newer IMU firmwares", "u") {}

void ModeUpdateLayout::execute() { refuseWithoutSensorAccess(*this); }

ModeMinimizeInitializationDelays::ModeMinimizeInitializationDelays()
    : ModeBase("minimize-delays", "minimize-delays",
               "set flash fields to minimize initialization delays that affect taring") {
  declareParameter(ParameterNames::Force, Optional);
}

void ModeMinimizeInitializationDelays::execute() { refuseWithoutSensorAccess(*this); }

ModeSmartConfiguration::ModeSmartConfiguration()
    : ModeBase("smart-configuration", "smart-configuration", "update the flash fields based on the type of IMU") {}

void ModeSmartConfiguration::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateGyroBias::ModeUpdateGyroBias()
    : ModeBase("update-gyro-bias", "update-gyro-bias", "update the x,y,z values of gyro bias in the flash") {
  declareParameter(ParameterNames::GyroVector, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateGyroBias::execute() { refuseWithoutSensorAccess(*this); }

ModeUpdateGyroCorrection::ModeUpdateGyroCorrection()
    : ModeBase("update-gyro-correction", "update-gyro-correction",
               "update the x,y,z values of gyro correction in the flash") {
  declareParameter(ParameterNames::GyroVector, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateGyroCorrection::execute() { refuseWithoutSensorAccess(*this); }
