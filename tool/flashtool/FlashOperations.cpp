#include "FlashOperations.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

#include "DorvekFlasher.h"
#include "SensorAccess.h"

namespace {

template <typename Change>
void changeFields(const std::string& key, std::string& image, Change change) {
  std::string work = image;
  FlashChangeRequest request(image, work, key);
  change(request);
  applyFlashChanges(request);
  image = work;
}

// Words of the current layout that the upgrade writes into blocks 648..1023
// and 1072..2043; every other byte of the two blocks is zero.
struct TemplateWord {
  std::uint32_t offset;  // byte offset in the image
  std::uint32_t word;    // little-endian
};

constexpr std::array<TemplateWord, 41> kUpgradeTemplateWords = {{
    {972, 0x001CAC08},  {976, 0x000C49BA},  {980, 0x00147AE1},  {1072, 0x00083127},
    {1076, 0x03E80001},  // warm up time 1, taring duration 1000 samples
    {1080, 0x00000064}, {1084, 0x00000010}, {1092, 0x0010624E},
    {1096, 0},  // gyro calibration disable
    {1100, 0},  // magnetometer channel
    {1116, 0x08000000}, {1132, 0x08000000}, {1148, 0x08000000}, {1164, 0x08000000},
    {1180, 0x08000000}, {1196, 0x08000000},
    {1324, 0xFCB29513}, {1328, 0x0924D2F6}, {1332, 0x008A25FE}, {1336, 0x01144BFB}, {1340, 0x008A25FE},
    {1344, 0xFCB29513}, {1348, 0x0924D2F6}, {1352, 0x008A25FE}, {1356, 0x01144BFB},
    {1360, 0x008A25FE}, {1364, 0xFCB29513}, {1368, 0x0924D2F6}, {1372, 0x008A25FE},
    {1376, 0x01144BFB}, {1380, 0x008A25FE},
    {1384, 0}, {1388, 0}, {1392, 0}, {1396, 0},  // bias coefficients 1 to 4
    {1400, 0x08000000},                          // bias coefficient 5 (1.0)
    {1404, 0xF801D1AA}, {1408, 0x0FFE2E21}, {1412, 13}, {1416, 26}, {1420, 13},
}};

struct Block {
  unsigned int start;  // first byte
  unsigned int end;    // byte after the last
};
constexpr std::array<Block, 2> kUpgradeBlocks = {{{648, 1024}, {1072, 2044}}};

constexpr bool templateInsideBlocks() {
  for (const auto& entry : kUpgradeTemplateWords) {
    bool inside = false;
    for (const auto& block : kUpgradeBlocks) inside = inside || (entry.offset >= block.start && entry.offset + 4 <= block.end);
    if (!inside) return false;
  }
  return true;
}
static_assert(templateInsideBlocks());
// Both blocks lie above the protected bytes 0 to 503, so patching them cannot be refused.
static_assert(kUpgradeBlocks[0].start > 503);

std::array<unsigned char, Dorvek_Flasher::kCapacity> upgradeTemplate() {
  std::array<unsigned char, Dorvek_Flasher::kCapacity> bytes{};
  auto put = [&](const TemplateWord& entry) {
    for (std::uint32_t i = 0; i < 4; ++i) bytes[entry.offset + i] = static_cast<unsigned char>(entry.word >> (8 * i));
  };
  for (const auto& entry : kUpgradeTemplateWords) put(entry);
  return bytes;
}

std::string twoDigits(long value) {
  std::ostringstream text;
  text << std::setw(2) << std::setfill('0') << value;
  return text.str();
}

}  // namespace

void setGyroBias(double x, double y, double z, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) {
    request.gyroBiasX = x;
    request.gyroBiasY = y;
    request.gyroBiasZ = z;
  });
}

void setGyroCorrection(double x, double y, double z, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) {
    request.gyroCorrectionX = x;
    request.gyroCorrectionY = y;
    request.gyroCorrectionZ = z;
  });
}

void requireGyroCorrectionField(const std::string& key) {
  if (key != "DKv6") throw std::runtime_error("can only update the gyro correction of DKv6 sensors");
}

void setMagnetometerGain(double gain, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) { request.magnetometerGain = gain; });
}

void setMagnetometerChannel(std::uint32_t channel, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) { request.magnetometerChannel = channel; });
}

void setHardwareGyroCalibrationDisable(std::uint32_t disable, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) { request.gyroCalibrationDisable = disable; });
}

void setHardwareGyroCalibrationDuration(std::uint16_t samples, const std::string& key, std::string& image) {
  changeFields(key, image, [&](FlashChangeRequest& request) { request.taringDuration = samples; });
}

boost::gregorian::date parseFirmwareDate(const std::string& identity) {
  // Every single space separates: a padded day leaves an empty word, which
  // then fails as a date.
  std::vector<std::string> words;
  boost::algorithm::split(words, identity, boost::algorithm::is_any_of(" "));
  if (words.size() < 3) throw std::runtime_error("the version string is not formatted correctly");
  const std::size_t n = words.size();
  const std::string text = words[n - 1] + "-" + words[n - 3] + "-" + words[n - 2];
  try {
    return boost::gregorian::from_simple_string(text);
  } catch (const std::exception&) {
    throw std::runtime_error("the firmware build date \"" + text + "\" in the version string is not valid");
  }
}

void checkLayoutVersion(int handle, const std::string& failurePrefix, bool force) {
  if (force) {
    std::cout << "WARNING: bypassing version check" << std::endl;
    return;
  }
  int busAddress = kNoBusAddress;
  FlashLayout layout;
  std::string identity;
  findSensor(handle, busAddress, layout, identity);
  if (parseFirmwareDate(identity).julian_day() < kLayoutCutOffJulianDay)
    throw std::runtime_error(failurePrefix + ". The flash memory layout is outdated");
}

std::string makeBackupFileName(const FlashFields& fields, const boost::posix_time::ptime& localTime) {
  const auto date = localTime.date();
  const auto time = localTime.time_of_day();
  return "imu_flash_backup_" + boost::algorithm::to_lower_copy(fields.type) + "_" + std::to_string(fields.serial) +
         "_" + std::to_string(static_cast<int>(date.year())) + "_" + twoDigits(date.month()) + "_" +
         twoDigits(date.day()) + "_" + twoDigits(time.hours()) + "_" + twoDigits(time.minutes()) + "_" +
         twoDigits(time.seconds()) + ".dat";
}

std::string makeBackupFileName(const FlashFields& fields) {
  return makeBackupFileName(fields, boost::posix_time::second_clock::local_time());
}

void finishFile(std::ofstream& file, const std::string& path, const std::string& bytes, const std::string& failure) {
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file.fail()) return;
  // Only a plain file, which was truncated for this image, is taken away; a
  // device node stays.
  boost::system::error_code error;
  if (boost::filesystem::is_regular_file(path, error)) boost::filesystem::remove(path, error);
  throw std::runtime_error(failure);
}

void writeWholeFile(const std::string& path, const std::string& bytes, const std::string& failure) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error(failure);
  finishFile(file, path, bytes, failure);
}

void writeFileAtomically(const std::string& path, const std::string& bytes, const std::string& failure) {
  const std::string partial = path + ".part";
  writeWholeFile(partial, bytes, failure);
  boost::system::error_code error;
  boost::filesystem::rename(partial, path, error);
  if (error) {
    boost::filesystem::remove(partial, error);
    throw std::runtime_error(failure);
  }
}

std::string writeBackupFile(int handle) {
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  FlashFields fields;
  decodeFlashFields(image, layout, fields);
  std::cout << "backing up contents of flash memory..." << std::endl;
  writeFileAtomically(makeBackupFileName(fields), image, "can't create the IMU flash memory backup");
  return image;
}

void backupFlash() {
  const int handle = openDevice();
  const auto guard = closeDeviceOnExit(handle);
  writeBackupFile(handle);
}

void minimizeInitializationDelays(const std::string& key, std::string& image) {
  if (key != "DKv6") throw std::runtime_error("the taring fields are only valid for DKv6 boards");
  const FlashLayout& layout = *findFlashLayout("DKv6");
  for (auto field = FlashField::WarmUpTime; field <= FlashField::BiasCoefficient5;
       field = static_cast<FlashField::Index>(field + 1)) {
    if (!layout.has(field)) {
      std::cout << "WARNING: the current device does not support taring and the fields to minimize the "
                   "initialization delays are not available"
                << std::endl;
      return;
    }
  }
  requireImageSize(image, layout);
  const auto at = [&](FlashField::Index field) { return layout.offsets[field]; };
  writeFlashWord(image, at(FlashField::WarmUpTime), 2, 0);
  for (auto field : {FlashField::BiasCoefficient1, FlashField::BiasCoefficient2, FlashField::BiasCoefficient3,
                     FlashField::BiasCoefficient4})
    writeFlashWord(image, at(field), 4, 0);
  writeFlashWord(image, at(FlashField::BiasCoefficient5), 4, static_cast<std::uint32_t>(kBiasCoefficientScale));
}

void upgradeFlashLayout(const std::string& image, std::string& upgraded) {
  Dorvek_Flasher flasher;
  if (image.size() != flasher.size) throw std::runtime_error("Flash read error.");
  flasher.readFlashFromData(image);
  std::cout << "Flash read." << std::endl;

  // Header words of the current layout, inside the protected region, so they
  // are set directly rather than through changeBlock.
  std::string header(reinterpret_cast<const char*>(flasher.image), 14);
  writeFlashWord(header, 0, 4, 65536000);  // word 0 becomes 0, word 1 becomes 1000
  writeFlashWord(header, 4, 2, 2000);
  writeFlashWord(header, 12, 2, 96);
  std::copy(header.begin(), header.end(), flasher.image);

  auto templateBytes = upgradeTemplate();
  try {
    for (const auto& block : kUpgradeBlocks)
      flasher.changeBlock(block.start, block.end, block.end - block.start, templateBytes.data() + block.start, false);
  } catch (std::runtime_error* thrown) {
    // The flash image class throws pointers; the tool's one error exit takes values.
    const std::unique_ptr<std::runtime_error> error(thrown);
    throw std::runtime_error(error->what());
  }

  flasher.writeFlashToData(upgraded);
  std::cout << "Flash update written." << std::endl;
}
