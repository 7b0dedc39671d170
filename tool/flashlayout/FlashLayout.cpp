#include "FlashLayout.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

// Little-endian words of any width up to 4 bytes, assembled byte by byte.
std::uint32_t readWord(const std::string& image, std::int32_t offset, std::int32_t bytes) {
  std::uint32_t word = 0;
  for (std::int32_t i = bytes - 1; i >= 0; --i)
    word = (word << 8) | static_cast<unsigned char>(image[static_cast<std::size_t>(offset + i)]);
  return word;
}

// A signed word of 2 or 4 bytes, sign-extended.
std::int32_t readSigned(const std::string& image, std::int32_t offset, std::int32_t bytes) {
  const std::uint32_t word = readWord(image, offset, bytes);
  if (bytes == 2) return static_cast<std::int16_t>(static_cast<std::uint16_t>(word));
  return static_cast<std::int32_t>(word);
}

std::uint32_t readField(const std::string& image, const FlashLayout& layout, FlashField::Index field) {
  return readWord(image, layout.offsets[field], flashFieldBytes(layout, field));
}

std::int32_t readSignedField(const std::string& image, const FlashLayout& layout,
                             FlashField::Index field) {
  return readSigned(image, layout.offsets[field], flashFieldBytes(layout, field));
}

// Value × scale truncated toward zero, as the signed word of `bytes` bytes that
// stores it. A value whose word does not fit is refused rather than wrapped: a
// wrapped calibration word flips its sign on the sensor.
std::uint32_t toFixedPoint(double value, double scale, std::int32_t bytes, const char* what) {
  const double truncated = std::trunc(value * scale);
  const double lowest = bytes == 2 ? std::numeric_limits<std::int16_t>::min()
                                   : std::numeric_limits<std::int32_t>::min();
  const double highest = bytes == 2 ? std::numeric_limits<std::int16_t>::max()
                                    : std::numeric_limits<std::int32_t>::max();
  if (!(truncated >= lowest && truncated <= highest))  // also refuses NaN
    throw std::runtime_error(std::string("the ") + what + " does not fit into its flash field");
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(truncated));
}

// One field to write: where, how wide, which word.
struct PendingWrite {
  FlashField::Index field;
  std::uint32_t word;
};

void decode(const std::string& image, const FlashLayout& layout, FlashFields& fields) {
  fields.type = std::string(layout.key);
  fields.serial = readField(image, layout, FlashField::SerialNumber);
  fields.gyroBiasX = readSignedField(image, layout, FlashField::GyroBiasX);
  fields.gyroBiasY = readSignedField(image, layout, FlashField::GyroBiasY);
  fields.gyroBiasZ = readSignedField(image, layout, FlashField::GyroBiasZ);
  if (layout.has(FlashField::GyroCorrectionX)) {
    fields.gyroCorrectionX = readSignedField(image, layout, FlashField::GyroCorrectionX);
    fields.gyroCorrectionY = readSignedField(image, layout, FlashField::GyroCorrectionY);
    fields.gyroCorrectionZ = readSignedField(image, layout, FlashField::GyroCorrectionZ);
  }
  if (layout.has(FlashField::MagnetometerGain)) {
    fields.magnetometerGainRaw = readSignedField(image, layout, FlashField::MagnetometerGain);
    fields.magnetometerGain = *fields.magnetometerGainRaw / fields.scale;
  }
  if (layout.has(FlashField::MagnetometerChannel))
    fields.magnetometerChannel = readField(image, layout, FlashField::MagnetometerChannel);
  if (layout.has(FlashField::GyroCalibrationDisable))
    fields.gyroCalibrationDisable = readField(image, layout, FlashField::GyroCalibrationDisable);
  if (layout.has(FlashField::TaringDuration))
    fields.taringDuration =
        static_cast<std::uint16_t>(readField(image, layout, FlashField::TaringDuration));

  // The warm up time and the bias coefficients only mean something together.
  bool delays = layout.has(FlashField::WarmUpTime);
  for (std::size_t i = 0; i < fields.biasCoefficients.size(); ++i)
    delays = delays && layout.has(static_cast<FlashField::Index>(FlashField::BiasCoefficient1 + i));
  if (delays) {
    fields.warmUpTime = static_cast<std::uint16_t>(readField(image, layout, FlashField::WarmUpTime));
    for (std::size_t i = 0; i < fields.biasCoefficients.size(); ++i)
      fields.biasCoefficients[i] =
          readField(image, layout, static_cast<FlashField::Index>(FlashField::BiasCoefficient1 + i));
  }

  if (layout.has(FlashField::TemperatureCorrection)) {
    TemperatureCorrectionParameters records;
    const std::int32_t base = layout.offsets[FlashField::TemperatureCorrection];
    for (std::size_t k = 0; k < records.size(); ++k) {
      const auto at = base + static_cast<std::int32_t>(k * kTemperatureCorrectionRecordBytes);
      records[k].it[0] = static_cast<std::int16_t>(readSigned(image, at, 2));
      records[k].it[1] = static_cast<std::int16_t>(readSigned(image, at + 2, 2));
      for (std::int32_t j = 0; j < 3; ++j) records[k].kx[j] = readSigned(image, at + 4 + 4 * j, 4);
    }
    fields.temperatureCorrection = records;
  }
}

void encode(const FlashChangeRequest& request, const FlashLayout& layout) {
  requireImageSize(request.work, layout);

  // Every word is computed before any byte is written, so a refused value
  // leaves the whole image as it was.
  std::vector<PendingWrite> writes;
  const std::int32_t width = layout.calibrationWordBytes;
  if (request.gyroBiasX && request.gyroBiasY && request.gyroBiasZ) {
    writes.push_back({FlashField::GyroBiasX, toFixedPoint(*request.gyroBiasX, layout.scale, width, "gyro bias X")});
    writes.push_back({FlashField::GyroBiasY, toFixedPoint(*request.gyroBiasY, layout.scale, width, "gyro bias Y")});
    writes.push_back({FlashField::GyroBiasZ, toFixedPoint(*request.gyroBiasZ, layout.scale, width, "gyro bias Z")});
  }
  bool correctionMissing = false;
  if (request.gyroCorrectionX && request.gyroCorrectionY && request.gyroCorrectionZ) {
    if (layout.has(FlashField::GyroCorrectionX)) {
      writes.push_back({FlashField::GyroCorrectionX,
                        toFixedPoint(*request.gyroCorrectionX, kGyroCorrectionScale, width, "gyro correction X")});
      writes.push_back({FlashField::GyroCorrectionY,
                        toFixedPoint(*request.gyroCorrectionY, kGyroCorrectionScale, width, "gyro correction Y")});
      writes.push_back({FlashField::GyroCorrectionZ,
                        toFixedPoint(*request.gyroCorrectionZ, kGyroCorrectionScale, width, "gyro correction Z")});
    } else {
      correctionMissing = true;
    }
  }
  if (request.magnetometerGain && layout.has(FlashField::MagnetometerGain))
    writes.push_back({FlashField::MagnetometerGain,
                      toFixedPoint(*request.magnetometerGain, layout.scale, 4, "magnetometer gain")});

  for (const auto& write : writes)
    writeFlashWord(request.work, layout.offsets[write.field], flashFieldBytes(layout, write.field), write.word);

  // Fields that this generation lacks are left out with a warning, never an error.
  const auto store = [&](FlashField::Index field, std::uint32_t word, const char* warning) {
    if (layout.has(field))
      writeFlashWord(request.work, layout.offsets[field], flashFieldBytes(layout, field), word);
    else
      std::cout << "WARNING: " << warning << std::endl;
  };
  if (correctionMissing)
    std::cout << "WARNING: the current device does not expose the gyro correction in the flash"
              << std::endl;
  if (request.magnetometerGain && !layout.has(FlashField::MagnetometerGain))
    std::cout << "WARNING: the current device does not expose the magnetometer gain in the flash"
              << std::endl;
  if (request.magnetometerChannel)
    store(FlashField::MagnetometerChannel, *request.magnetometerChannel,
          "the current device does not expose the magnetometer channel in the flash");
  if (request.gyroCalibrationDisable)
    store(FlashField::GyroCalibrationDisable, *request.gyroCalibrationDisable,
          "the current device does not support the hardware gyro calibration");
  if (request.taringDuration)
    store(FlashField::TaringDuration, *request.taringDuration,
          "the current device does not support the taring duration");
}

}  // namespace

void writeFlashWord(std::string& image, std::int32_t offset, std::int32_t bytes, std::uint32_t word) {
  for (std::int32_t i = 0; i < bytes; ++i, word >>= 8)
    image[static_cast<std::size_t>(offset + i)] = static_cast<char>(word & 0xFF);
}

void requireImageSize(const std::string& image, const FlashLayout& layout) {
  if (image.size() < static_cast<std::size_t>(layout.size))
    throw std::runtime_error("the flash image is shorter than its memory layout");
}

const FlashLayout* findFlashLayout(std::string_view key) {
  for (const auto& layout : kFlashLayouts)
    if (layout.key == key) return &layout;
  return nullptr;
}

void selectFlashLayout(const std::string& identity, FlashLayout& layout) {
  const FlashLayout* match = nullptr;
  for (const auto& row : kFlashLayouts)
    if (identity.find(row.key) != std::string::npos) match = &row;
  if (!match) throw std::runtime_error("can't find a matching flash memory layout");
  layout = *match;
}

void decodeFlashFields(const std::string& image, const FlashLayout& layout, FlashFields& fields) {
  const FlashLayout* generation = findFlashLayout(layout.key);
  if (!generation) return;
  requireImageSize(image, *generation);
  FlashFields decoded(*generation);
  decode(image, *generation, decoded);
  fields = decoded;
}

void applyFlashChanges(FlashChangeRequest request) {
  const FlashLayout* generation = findFlashLayout(request.layoutKey);
  if (!generation) return;
  encode(request, *generation);
}
