#pragma once

// What the modes do to a flash image read from the sensor: field setters, the
// firmware-date check, backups, the delay clearing and the layout upgrade.

#include <cstdint>
#include <fstream>
#include <string>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "FlashLayout.h"

// Firmware built before this day has the old flash layout: 2017-09-15.
inline constexpr long kLayoutCutOffJulianDay = 2458012;

// Each setter changes only its own field's bytes of the image, in place; a
// field that the generation lacks gives a warning, an unknown key changes nothing.
void setGyroBias(double x, double y, double z, const std::string& key, std::string& image);
void setGyroCorrection(double x, double y, double z, const std::string& key, std::string& image);
void setMagnetometerGain(double gain, const std::string& key, std::string& image);  // 1.0 = full gain
void setMagnetometerChannel(std::uint32_t channel, const std::string& key, std::string& image);
void setHardwareGyroCalibrationDisable(std::uint32_t disable, const std::string& key, std::string& image);
void setHardwareGyroCalibrationDuration(std::uint16_t samples, const std::string& key, std::string& image);

// Only DKv6 images have a gyro correction that the tool changes; any other
// generation is refused before anything is written.
void requireGyroCorrectionField(const std::string& key);

// The build date at the end of an identity string ("... Sep 15 2017").
boost::gregorian::date parseFirmwareDate(const std::string& identity);
// Refuses firmware built before the cut-off with failurePrefix followed by
// ". The flash memory layout is outdated"; force skips the check with a warning.
void checkLayoutVersion(int handle, const std::string& failurePrefix, bool force);

// imu_flash_backup_<key>_<serial>_<YYYY_MM_DD>_<HH_MM_SS>.dat, local time.
std::string makeBackupFileName(const FlashFields& fields);
std::string makeBackupFileName(const FlashFields& fields, const boost::posix_time::ptime& localTime);

// Writes the bytes to a file opened for writing and closes it. On failure a
// plain file is taken away, so no partial image stays under its name, and
// `failure` is thrown.
void finishFile(std::ofstream& file, const std::string& path, const std::string& bytes, const std::string& failure);
// Writes all bytes to the file or throws `failure`; a file that could not be
// written whole does not stay behind under its name.
void writeWholeFile(const std::string& path, const std::string& bytes, const std::string& failure);
// Same, but the file appears under its name only once it is complete.
void writeFileAtomically(const std::string& path, const std::string& bytes, const std::string& failure);

// Reads, decodes and saves the image under its backup name; returns the image.
std::string writeBackupFile(int handle);
// Opens the device, writes a backup and closes the device.
void backupFlash();

// DKv6 only: warm up time 0, bias coefficients 1 to 4 zero and 5 one.
void minimizeInitializationDelays(const std::string& key, std::string& image);
// The current layout built from a 2048-byte image: header words, and the
// blocks 648..1023 and 1072..2043 from the template.
void upgradeFlashLayout(const std::string& image, std::string& upgraded);
