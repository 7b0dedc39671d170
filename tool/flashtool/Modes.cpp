#include "Modes.h"

#include <cmath>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>

#include "FlashOperations.h"
#include "GyroCalibration.h"
#include "Parameters.h"
#include "SensorAccess.h"

namespace {

constexpr auto Required = ParameterRequirement::Required;
constexpr auto Optional = ParameterRequirement::Optional;

// Fixed-point factors of the raw words that the gyro vector modes take.
constexpr double kGyroBiasWordScale = 1.0 / 134217728.0;       // 2^-27
constexpr double kGyroCorrectionWordScale = 1.0 / 67108864.0;  // 2^-26
// The hardware gyro calibration counts samples at this rate (samples per second).
constexpr int kTaringSamplesPerSecond = 500;

enum class GyroSource { Raw, Calibrated };

struct GyroSourceName {
  const char* name;
  GyroSource source;
};
constexpr GyroSourceName kGyroSources[] = {{"raw", GyroSource::Raw}, {"calibrated", GyroSource::Calibrated}};

// The parameter's own check admits no other name.
GyroSource gyroSourceByName(const std::string& name) {
  for (const auto& row : kGyroSources)
    if (name == row.name) return row.source;
  throw std::out_of_range("invalid map<K, T> key");
}

// Seconds, taken as a signed 16-bit value, as a whole number of samples.
std::uint16_t taringSamples(int seconds) {
  const double samples = static_cast<std::int16_t>(seconds) * static_cast<double>(kTaringSamplesPerSecond);
  return static_cast<std::uint16_t>(static_cast<int>(samples));
}

bool temperatureCalibrated(const TemperatureCorrectionParameters& records) {
  for (const auto& record : records)
    if (record.it[1] != 0) return true;
  return false;
}

void printIdentity(int handle) {
  int busAddress = kNoBusAddress;
  FlashLayout layout;
  std::string identity;
  findSensor(handle, busAddress, layout, identity);
  std::cout << "version: " << identity << std::endl;
  std::cout << "bus address: " << busAddress << std::endl;
}

// The file's bytes, or "can't open input file for reading". Only a regular
// file holds an image: a directory opens as a stream on Linux, a FIFO blocks
// the open and a device never ends. Reading stops one byte past the largest
// image, which is enough to refuse a longer file at the size check.
std::string readInputFile(const std::string& path) {
  const std::string failure = "can't open input file for reading";
  boost::system::error_code error;
  if (!boost::filesystem::is_regular_file(path, error)) throw std::runtime_error(failure);
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(failure);
  std::string bytes(static_cast<std::size_t>(kFlashImageCapacity) + 1, '\0');
  // The stream's read turns an error of the file into its bad state.
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad()) throw std::runtime_error(failure);
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

// The common shape of the modes that change fields, on a device already open:
// check the firmware, read, change, write.
template <typename Change>
void changeOpenFlash(int handle, const ModeBase& mode, const std::string& failurePrefix, Change change) {
  checkLayoutVersion(handle, failurePrefix, mode.hasParameter(ParameterNames::Force));
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  change(std::string(layout.key), image);
  writeFlashImage(handle, image);
}

// The same with the device opened for the change alone.
template <typename Change>
void changeFlash(const ModeBase& mode, const std::string& failurePrefix, Change change) {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  changeOpenFlash(handle, mode, failurePrefix, change);
}

}  // namespace

void printFlashFields(const FlashFields& fields, const std::string& prefix) {
  std::cout << prefix << "type: " << fields.type << std::endl;
  std::cout << prefix << "serial: " << fields.serial << std::endl;
  std::cout << prefix << "gyro bias X: " << fields.gyroBiasX << std::endl;
  std::cout << prefix << "gyro bias Y: " << fields.gyroBiasY << std::endl;
  std::cout << prefix << "gyro bias Z: " << fields.gyroBiasZ << std::endl;
  if (fields.gyroCorrectionX && fields.gyroCorrectionY && fields.gyroCorrectionZ) {
    std::cout << prefix << "gyro correction X: " << *fields.gyroCorrectionX << std::endl;
    std::cout << prefix << "gyro correction Y: " << *fields.gyroCorrectionY << std::endl;
    std::cout << prefix << "gyro correction Z: " << *fields.gyroCorrectionZ << std::endl;
  }
  if (fields.magnetometerGainRaw) {
    if (fields.magnetometerGain)
      std::cout << prefix << "magnetometer gain: " << std::lround(*fields.magnetometerGain * 100.0) << std::endl;
    else
      std::cout << prefix << "magnetometer gain [raw]: " << static_cast<std::uint32_t>(*fields.magnetometerGainRaw)
                << std::endl;
  }
  if (fields.magnetometerChannel)
    std::cout << prefix << "magnetometer channel: " << *fields.magnetometerChannel << std::endl;
  if (fields.gyroCalibrationDisable)
    std::cout << prefix << "gyro calibration disable: " << *fields.gyroCalibrationDisable << std::endl;
  if (fields.taringDuration)
    std::cout << prefix << "taring duration: " << *fields.taringDuration / kTaringSamplesPerSecond << " s" << std::endl;
  bool delays = fields.warmUpTime.has_value();
  for (const auto& coefficient : fields.biasCoefficients) delays = delays && coefficient.has_value();
  if (delays) {
    std::cout << prefix << "warm up time: " << *fields.warmUpTime << std::endl;
    for (std::size_t i = 0; i < fields.biasCoefficients.size(); ++i)
      std::cout << prefix << "bias coefficient " << i + 1 << ": "
                << *fields.biasCoefficients[i] / kBiasCoefficientScale << std::endl;
  }
  std::cout << "is temperature calibrated: ";
  if (!fields.temperatureCorrection) {
    std::cout << "WARNING: no temperature correction parameters were loaded" << std::endl;
    std::cout << "no" << std::endl;
  } else {
    std::cout << (temperatureCalibrated(*fields.temperatureCorrection) ? "yes" : "no") << std::endl;
  }
}

void printTemperatureCorrection(const FlashFields& fields) {
  // A generation without the block has no records to show.
  if (!fields.temperatureCorrection) {
    std::cout << "WARNING: no temperature correction parameters were loaded" << std::endl;
    return;
  }
  const auto& records = *fields.temperatureCorrection;
  for (std::size_t k = 0; k < records.size(); ++k) {
    const auto& record = records[k];
    std::cout << "temperature correction parameter " << k << std::endl;
    std::cout << "\tIT: [" << record.it[0] << ", " << record.it[1] << "]" << std::endl;
    std::cout << "\tKX: [" << record.kx[0] << ", " << record.kx[1] << ", " << record.kx[2] << "]" << std::endl;
  }
}

ModeHelp::ModeHelp(const boost::program_options::options_description* description)
    : ModeBase("help", "help", "show this help message and exit", "h"), description(description) {}

void ModeHelp::execute() { std::cout << *description << std::endl; }

ModeVersion::ModeVersion(std::string version)
    : ModeBase("version", "version", "show the version number and exit", "v"), version(std::move(version)) {}

void ModeVersion::execute() { std::cout << version << std::endl; }

ModeFields::ModeFields()
    : ModeBase("fields", "fields", "show the relevant fields of the connected device", "f") {}

void ModeFields::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  printIdentity(handle);
  FlashFields fields;
  readFlashFields(handle, fields);
  printFlashFields(fields, "");
}

ModeShowTemperatureCalibrationParameters::ModeShowTemperatureCalibrationParameters()
    : ModeBase("temp", "temp", "show the temperature calibration parameters of the connected device", "t") {}

void ModeShowTemperatureCalibrationParameters::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  printIdentity(handle);
  FlashFields fields;
  readFlashFields(handle, fields);
  printTemperatureCorrection(fields);
}

// "dump" owns "-d": it only reads the sensor, so a mistyped letter can never
// change the flash.
ModeDump::ModeDump() : ModeBase("dump", "dump", "dump the contents of the flash memory to file", "d") {
  declareParameter(ParameterNames::Output, Required);
}

void ModeDump::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  const std::string path = getParameter<std::string>(ParameterNames::Output);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("can't open output file for writing");
  std::cout << "dumping..." << std::endl;
  finishFile(file, path, image, "can't write the whole image to the output file");
}

ModeBackup::ModeBackup()
    : ModeBase("backup", "backup",
               "backup the contents of the flash memory to file quickly with an auto-generated filename", "b") {}

void ModeBackup::execute() { backupFlash(); }

ModeRestore::ModeRestore()
    : ModeBase("restore", "restore", "restore the contents of the flash memory from file", "r") {
  declareParameter(ParameterNames::Input, Required);
}

void ModeRestore::execute() {
  const std::string image = readInputFile(getParameter<std::string>(ParameterNames::Input));
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  std::cout << "restoring..." << std::endl;
  writeFlashImage(handle, image);
}

ModeCalibrateGyros::ModeCalibrateGyros(std::int32_t measuringSeconds)
    : ModeBase("calibrate-gyros", "calibrate-gyros",
               "calibrate the gyros of the connected device and update the values in the flash", "g"),
      measuringSeconds(measuringSeconds) {
  declareParameter(ParameterNames::GyroSource, Optional);
  declareParameter(ParameterNames::DryRun, Optional);
  declareParameter(ParameterNames::Verbose, Optional);
}

void ModeCalibrateGyros::execute() {
  const GyroSource source = hasParameter(ParameterNames::GyroSource)
                                ? gyroSourceByName(getParameter<std::string>(ParameterNames::GyroSource))
                                : GyroSource::Raw;
  const bool dryRun = hasParameter(ParameterNames::DryRun);
  const bool verbose = hasParameter(ParameterNames::Verbose);
  if (!dryRun) backupFlash();
  if (source == GyroSource::Raw) {
    CalibrationContext context;
    context.seconds = measuringSeconds;
    context.dryRun = dryRun;
    context.verbose = verbose;
    calibrateGyrosFromRawSamples(context);
  } else {
    calibrateGyrosFromCalibratedSamples(dryRun, verbose, measuringSeconds);
  }
}

ModeConfigureForHardwareGyroCalibration::ModeConfigureForHardwareGyroCalibration()
    : ModeBase("configure-for-hardware-gyro-calibration", "configure-for-hardware-gyro-calibration",
               "update all fields required to enable hardware gyro calibration with minimal delays") {
  declareParameter(ParameterNames::Force, Optional);
  declareParameter(ParameterNames::HardwareGyroCalibrationDuration, Optional);
}

void ModeConfigureForHardwareGyroCalibration::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  configure(handle);
}

void ModeConfigureForHardwareGyroCalibration::configure(int handle) {
  const int seconds = hasParameter(ParameterNames::HardwareGyroCalibrationDuration)
                          ? getParameter<int>(ParameterNames::HardwareGyroCalibrationDuration)
                          : 1;
  changeOpenFlash(handle, *this, "can't configure hardware gyro calibration",
                  [seconds](const std::string& key, std::string& image) {
                    minimizeInitializationDelays(key, image);
                    setHardwareGyroCalibrationDuration(taringSamples(seconds), key, image);
                    setMagnetometerGain(0.0, key, image);
                    setMagnetometerChannel(0, key, image);
                    setHardwareGyroCalibrationDisable(0, key, image);
                  });
}

ModeUpdateMagnetometerGain::ModeUpdateMagnetometerGain()
    : ModeBase("set-magnetometer-gain", "update-magnetometer-gain",
               "update the gain of the magnetometer in the flash", "m") {
  declareParameter(ParameterNames::MagnetometerGain, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateMagnetometerGain::execute() {
  const int gain = getParameter<int>(ParameterNames::MagnetometerGain);
  changeFlash(*this, "can't update the magnetometer gain", [gain](const std::string& key, std::string& image) {
    setMagnetometerGain(gain / 100.0, key, image);
  });
}

ModeUpdateMagnetometerChannel::ModeUpdateMagnetometerChannel()
    : ModeBase("set-magnetometer-channel", "update-magnetometer-channel",
               "update the the magnetometer channel in the flash", "c") {
  declareParameter(ParameterNames::MagnetometerChannel, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateMagnetometerChannel::execute() {
  const auto channel = static_cast<std::uint32_t>(getParameter<int>(ParameterNames::MagnetometerChannel));
  changeFlash(*this, "can't update the magnetometer channel", [channel](const std::string& key, std::string& image) {
    setMagnetometerChannel(channel, key, image);
  });
}

ModeUpdateHardwareGyroCalibrationDisable::ModeUpdateHardwareGyroCalibrationDisable()
    : ModeBase("set-hardware-gyro-calibration-disable", "set-hardware-gyro-calibration-disable",
               "update the the value of the hardware gyro calibration disable") {
  declareParameter(ParameterNames::HardwareGyroCalibrationDisable, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateHardwareGyroCalibrationDisable::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  update(handle);
}

void ModeUpdateHardwareGyroCalibrationDisable::update(int handle) {
  const auto disable = static_cast<std::uint32_t>(getParameter<int>(ParameterNames::HardwareGyroCalibrationDisable));
  changeOpenFlash(handle, *this, "can't update the hardware gyro calibration disable",
                  [disable](const std::string& key, std::string& image) {
                    setHardwareGyroCalibrationDisable(disable, key, image);
                  });
}

ModeUpdateHardwareGyroCalibrationDuration::ModeUpdateHardwareGyroCalibrationDuration()
    : ModeBase("update-hardware-gyro-calibration-duration", "update-hardware-gyro-calibration-duration",
               "update the duration of the hardwar gyro calibration in the flash") {
  declareParameter(ParameterNames::HardwareGyroCalibrationDuration, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateHardwareGyroCalibrationDuration::execute() {
  const std::uint16_t samples = taringSamples(getParameter<int>(ParameterNames::HardwareGyroCalibrationDuration));
  changeFlash(*this, "can't update the hardware gyro calibration duration",
              [samples](const std::string& key, std::string& image) {
                setHardwareGyroCalibrationDuration(samples, key, image);
              });
}

ModeUpdateLayout::ModeUpdateLayout()
    : ModeBase("update", "update", "update the flash memory layout to support newer IMU firmwares", "u") {}

void ModeUpdateLayout::execute() {
  std::cout << "opening device..." << std::endl;
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  // Nothing is changed unless the backup file stands complete.
  const std::string image = writeBackupFile(handle);
  std::cout << "upgrading the flash memory layout..." << std::endl;
  std::string upgraded;
  upgradeFlashLayout(image, upgraded);
  std::cout << "writing upgraded flash memory layout to device..." << std::endl;
  writeFlashImage(handle, upgraded);
}

ModeMinimizeInitializationDelays::ModeMinimizeInitializationDelays()
    : ModeBase("minimize-delays", "minimize-delays",
               "set flash fields to minimize initialization delays that affect taring") {
  declareParameter(ParameterNames::Force, Optional);
}

void ModeMinimizeInitializationDelays::execute() {
  changeFlash(*this, "can't minimize initialization delays",
              [](const std::string& key, std::string& image) { minimizeInitializationDelays(key, image); });
}

ModeSmartConfiguration::ModeSmartConfiguration()
    : ModeBase("smart-configuration", "smart-configuration", "update the flash fields based on the type of IMU") {}

void ModeSmartConfiguration::execute() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  FlashFields fields;
  readFlashFields(handle, fields);
  if (!fields.temperatureCorrection)
    std::cout << "WARNING: no temperature correction parameters were loaded" << std::endl;
  if (fields.temperatureCorrection && temperatureCalibrated(*fields.temperatureCorrection)) {
    ModeConfigureForHardwareGyroCalibration configuration;
    configuration.configure(handle);
  } else {
    ModeUpdateHardwareGyroCalibrationDisable disabling;
    const auto disable = boost::make_shared<ParameterHardwareGyroCalibrationDisable>();
    disable->setValue(1);
    disabling.addParameter(disable);
    disabling.update(handle);
  }
}

ModeUpdateGyroBias::ModeUpdateGyroBias()
    : ModeBase("update-gyro-bias", "update-gyro-bias", "update the x,y,z values of gyro bias in the flash") {
  declareParameter(ParameterNames::GyroVector, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateGyroBias::execute() {
  const std::vector<int> words = getParameter<std::vector<int>>(ParameterNames::GyroVector);
  changeFlash(*this, "can't update the gyro bias", [&words](const std::string& key, std::string& image) {
    if (key != "DKv6") throw std::runtime_error("can only update the gyro bias of DKv6 sensors");
    setGyroBias(words.at(0) * kGyroBiasWordScale, words.at(1) * kGyroBiasWordScale, words.at(2) * kGyroBiasWordScale,
                key, image);
  });
}

ModeUpdateGyroCorrection::ModeUpdateGyroCorrection()
    : ModeBase("update-gyro-correction", "update-gyro-correction",
               "update the x,y,z values of gyro correction in the flash") {
  declareParameter(ParameterNames::GyroVector, Required);
  declareParameter(ParameterNames::Force, Optional);
}

void ModeUpdateGyroCorrection::execute() {
  const std::vector<int> words = getParameter<std::vector<int>>(ParameterNames::GyroVector);
  changeFlash(*this, "can't update the gyro correction", [&words](const std::string& key, std::string& image) {
    requireGyroCorrectionField(key);
    setGyroCorrection(words.at(0) * kGyroCorrectionWordScale, words.at(1) * kGyroCorrectionWordScale,
                      words.at(2) * kGyroCorrectionWordScale, key, image);
  });
}
