#pragma once

#include <string>

#include <boost/program_options/options_description.hpp>

#include "FlashLayout.h"
#include "GyroCalibration.h"
#include "ModeBase.h"

// Writes the field lines of `fields` to standard output, each after `prefix`,
// ending with whether the sensor is temperature calibrated.
void printFlashFields(const FlashFields& fields, const std::string& prefix);
// Writes the 27 temperature correction records, or a warning when the image has none.
void printTemperatureCorrection(const FlashFields& fields);

// Prints the options table.
class ModeHelp : public ModeBase {
 public:
  // Does not own the description, which the command line keeps for the run.
  explicit ModeHelp(const boost::program_options::options_description* description);
  void execute() override;

 private:
  const boost::program_options::options_description* description;
};

class ModeVersion : public ModeBase {
 public:
  explicit ModeVersion(std::string version);
  void execute() override;

 private:
  std::string version;
};

// The modes that work on a connected sensor.

class ModeFields : public ModeBase {
 public:
  ModeFields();
  void execute() override;
};

class ModeShowTemperatureCalibrationParameters : public ModeBase {
 public:
  ModeShowTemperatureCalibrationParameters();
  void execute() override;
};

class ModeDump : public ModeBase {
 public:
  ModeDump();
  void execute() override;
};

class ModeBackup : public ModeBase {
 public:
  ModeBackup();
  void execute() override;
};

class ModeRestore : public ModeBase {
 public:
  ModeRestore();
  void execute() override;
};

class ModeCalibrateGyros : public ModeBase {
 public:
  // The command line registers the mode with the full measuring time; only
  // code that builds the mode itself can choose another.
  explicit ModeCalibrateGyros(std::int32_t measuringSeconds = kGyroCalibrationSeconds);
  void execute() override;

 private:
  std::int32_t measuringSeconds;  // (s)
};

class ModeConfigureForHardwareGyroCalibration : public ModeBase {
 public:
  ModeConfigureForHardwareGyroCalibration();
  void execute() override;
  // The work of the mode on a device that is already open.
  void configure(int handle);
};

class ModeUpdateMagnetometerGain : public ModeBase {
 public:
  ModeUpdateMagnetometerGain();
  void execute() override;
};

class ModeUpdateMagnetometerChannel : public ModeBase {
 public:
  ModeUpdateMagnetometerChannel();
  void execute() override;
};

class ModeUpdateHardwareGyroCalibrationDisable : public ModeBase {
 public:
  ModeUpdateHardwareGyroCalibrationDisable();
  void execute() override;
  // The work of the mode on a device that is already open.
  void update(int handle);
};

class ModeUpdateHardwareGyroCalibrationDuration : public ModeBase {
 public:
  ModeUpdateHardwareGyroCalibrationDuration();
  void execute() override;
};

class ModeUpdateLayout : public ModeBase {
 public:
  ModeUpdateLayout();
  void execute() override;
};

class ModeMinimizeInitializationDelays : public ModeBase {
 public:
  ModeMinimizeInitializationDelays();
  void execute() override;
};

class ModeSmartConfiguration : public ModeBase {
 public:
  ModeSmartConfiguration();
  void execute() override;
};

class ModeUpdateGyroBias : public ModeBase {
 public:
  ModeUpdateGyroBias();
  void execute() override;
};

class ModeUpdateGyroCorrection : public ModeBase {
 public:
  ModeUpdateGyroCorrection();
  void execute() override;
};
