#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Index of each field in FlashLayout::offsets.
struct FlashField {
  enum Index : std::size_t {
    SerialNumber,
    GyroBiasX,
    GyroBiasY,
    GyroBiasZ,
    MagnetometerGain,
    MagnetometerChannel,
    GyroCalibrationDisable,
    TaringDuration,
    WarmUpTime,
    BiasCoefficient1,
    BiasCoefficient2,
    BiasCoefficient3,
    BiasCoefficient4,
    BiasCoefficient5,
    TemperatureCorrection,
    GyroCorrectionX,
    GyroCorrectionY,
    GyroCorrectionZ,
    Count
  };
};

// Offset of a field that a generation lacks.
constexpr std::int32_t kAbsentFlashField = 0x7FFFFFFF;
// The largest image of any generation (bytes); the flash image class holds this many.
constexpr std::int32_t kFlashImageCapacity = 2048;

using FlashOffsets = std::array<std::int32_t, FlashField::Count>;

// The flash image of one sensor generation.
struct FlashLayout {
  // Generation key as it occurs in the sensor's identity string. Always one of
  // the table's literals, so a copied row never dangles.
  std::string_view key;
  std::int32_t size = 0;  // image size (bytes)
  FlashOffsets offsets = absentOffsets();  // byte offset of each field in the image
  // Fixed-point scale of the gyro bias and magnetometer gain words (LSB = 1 / scale).
  double scale = 0.0;
  // Width of the gyro bias and gyro correction words (bytes, signed).
  std::int32_t calibrationWordBytes = 0;

  constexpr bool has(FlashField::Index field) const { return offsets[field] != kAbsentFlashField; }

  static constexpr FlashOffsets absentOffsets() {
    FlashOffsets offsets{};
    for (auto& offset : offsets) offset = kAbsentFlashField;
    return offsets;
  }
};

// The gyro correction is scaled by 2^26 in every generation that has it.
constexpr double kGyroCorrectionScale = 67108864.0;
// The bias coefficients are words with 1.0 = 2^27.
constexpr double kBiasCoefficientScale = 134217728.0;

// Temperature correction block: 27 records of two signed 16-bit IT words and
// three signed 32-bit KX words.
constexpr std::size_t kTemperatureCorrectionRecordCount = 27;
constexpr std::size_t kTemperatureCorrectionRecordBytes = 16;
constexpr std::size_t kTemperatureCorrectionBytes =
    kTemperatureCorrectionRecordCount * kTemperatureCorrectionRecordBytes;
static_assert(kTemperatureCorrectionBytes == 432);

struct TemperatureCorrectionRecord {
  std::array<std::int16_t, 2> it{};
  std::array<std::int32_t, 3> kx{};
};
using TemperatureCorrectionParameters =
    std::array<TemperatureCorrectionRecord, kTemperatureCorrectionRecordCount>;

// Width of a field in the image (bytes).
constexpr std::int32_t flashFieldBytes(const FlashLayout& layout, FlashField::Index field) {
  switch (field) {
    case FlashField::GyroBiasX:
    case FlashField::GyroBiasY:
    case FlashField::GyroBiasZ:
    case FlashField::GyroCorrectionX:
    case FlashField::GyroCorrectionY:
    case FlashField::GyroCorrectionZ:
      return layout.calibrationWordBytes;
    case FlashField::TaringDuration:
    case FlashField::WarmUpTime:
      return 2;
    case FlashField::TemperatureCorrection:
      return static_cast<std::int32_t>(kTemperatureCorrectionBytes);
    default:
      return 4;
  }
}

// Offsets of the leading fields of a generation; every later field is absent.
template <std::size_t N>
constexpr FlashOffsets leadingOffsets(const std::int32_t (&present)[N]) {
  static_assert(N <= FlashField::Count);
  FlashOffsets offsets = FlashLayout::absentOffsets();
  for (std::size_t i = 0; i < N; ++i) offsets[i] = present[i];
  return offsets;
}

// One row per generation, tried in this order when a layout is chosen.
inline constexpr std::array<FlashLayout, 3> kFlashLayouts = {{
    {"DKv4", 512, leadingOffsets({8, 26, 28, 30}), 32768.0, 2},
    {"DKv5", 2048, leadingOffsets({8, 48, 52, 56, 1168}), 134217728.0, 4},
    {"DKv6", 2048,
     leadingOffsets({8, 48, 52, 56, 1168, 1100, 1096, 1078, 1076, 1384, 1388, 1392, 1396, 1400, 216,
                     1152, 1156, 1160}),
     134217728.0, 4},
}};

namespace FlashLayoutChecks {
// Every present field lies inside the image and no two present fields overlap.
constexpr bool fieldsFit(const FlashLayout& layout) {
  if (layout.size <= 0 || layout.size > kFlashImageCapacity) return false;
  for (std::size_t i = 0; i < FlashField::Count; ++i) {
    const auto field = static_cast<FlashField::Index>(i);
    if (!layout.has(field)) continue;
    const std::int32_t begin = layout.offsets[i];
    const std::int32_t end = begin + flashFieldBytes(layout, field);
    if (begin < 0 || end > layout.size) return false;
    for (std::size_t j = i + 1; j < FlashField::Count; ++j) {
      const auto other = static_cast<FlashField::Index>(j);
      if (!layout.has(other)) continue;
      const std::int32_t otherBegin = layout.offsets[j];
      const std::int32_t otherEnd = otherBegin + flashFieldBytes(layout, other);
      if (begin < otherEnd && otherBegin < end) return false;
    }
  }
  return true;
}

// The codec relies on these groups being present or absent as a whole.
constexpr bool groupsWhole(const FlashLayout& layout) {
  const bool correction = layout.has(FlashField::GyroCorrectionX);
  if (layout.has(FlashField::GyroCorrectionY) != correction ||
      layout.has(FlashField::GyroCorrectionZ) != correction)
    return false;
  return layout.has(FlashField::SerialNumber) && layout.has(FlashField::GyroBiasX) &&
         layout.has(FlashField::GyroBiasY) && layout.has(FlashField::GyroBiasZ) &&
         (layout.calibrationWordBytes == 2 || layout.calibrationWordBytes == 4);
}
}  // namespace FlashLayoutChecks

static_assert(FlashLayoutChecks::fieldsFit(kFlashLayouts[0]));
static_assert(FlashLayoutChecks::fieldsFit(kFlashLayouts[1]));
static_assert(FlashLayoutChecks::fieldsFit(kFlashLayouts[2]));
static_assert(FlashLayoutChecks::groupsWhole(kFlashLayouts[0]));
static_assert(FlashLayoutChecks::groupsWhole(kFlashLayouts[1]));
static_assert(FlashLayoutChecks::groupsWhole(kFlashLayouts[2]));
static_assert(kFlashLayouts[0].scale == 32768.0 && kFlashLayouts[0].calibrationWordBytes == 2);
static_assert(kFlashLayouts[2].size == kFlashImageCapacity);

// The decoded fields of one image. Words are kept raw as stored; only the
// magnetometer gain is also given as a value.
struct FlashFields {
  std::string type;  // layout key of the decoded image
  std::uint32_t serial = 0;
  std::int32_t gyroBiasX = 0;  // raw words (LSB = 1 / scale)
  std::int32_t gyroBiasY = 0;
  std::int32_t gyroBiasZ = 0;
  std::optional<std::int32_t> gyroCorrectionX;  // raw words (LSB = 2^-26)
  std::optional<std::int32_t> gyroCorrectionY;
  std::optional<std::int32_t> gyroCorrectionZ;
  std::optional<std::int32_t> magnetometerGainRaw;
  std::optional<double> magnetometerGain;  // raw / scale (1.0 = full gain)
  std::optional<std::uint32_t> magnetometerChannel;
  std::optional<std::uint32_t> gyroCalibrationDisable;
  std::optional<std::uint16_t> taringDuration;  // samples at 500 samples per second
  std::optional<std::uint16_t> warmUpTime;
  std::array<std::optional<std::uint32_t>, 5> biasCoefficients;  // raw words (1.0 = 2^27)
  std::optional<TemperatureCorrectionParameters> temperatureCorrection;
  FlashLayout layout;
  double scale = 0.0;

  FlashFields() = default;
  // The empty record of one generation: its row and scale, nothing decoded.
  explicit FlashFields(const FlashLayout& generation) : layout(generation), scale(generation.scale) {}
};

// Values to write into an image; unset members leave their bytes alone.
struct FlashChangeRequest {
  FlashChangeRequest(const std::string& image, std::string& work, const std::string& layoutKey)
      : image(image), work(work), layoutKey(layoutKey) {}

  const std::string& image;  // the caller's image
  std::string& work;         // the working copy that the encoder changes
  const std::string& layoutKey;
  std::optional<double> gyroBiasX;  // (value; stored × scale)
  std::optional<double> gyroBiasY;
  std::optional<double> gyroBiasZ;
  std::optional<double> gyroCorrectionX;  // (value; stored × 2^26)
  std::optional<double> gyroCorrectionY;
  std::optional<double> gyroCorrectionZ;
  std::optional<double> magnetometerGain;  // (1.0 = full gain; stored × scale)
  std::optional<std::uint32_t> magnetometerChannel;
  std::optional<std::uint32_t> gyroCalibrationDisable;
  std::optional<std::uint16_t> taringDuration;  // samples at 500 samples per second
};

// Stores the low `bytes` bytes of `word` at `offset`, least significant first.
void writeFlashWord(std::string& image, std::int32_t offset, std::int32_t bytes, std::uint32_t word);

// Throws std::runtime_error when the image is shorter than the layout.
void requireImageSize(const std::string& image, const FlashLayout& layout);

// The row whose key equals `key` exactly, or null.
const FlashLayout* findFlashLayout(std::string_view key);

// Chooses the row whose key occurs in the identity string; when several do, the
// last in table order wins. Throws std::runtime_error when none does.
void selectFlashLayout(const std::string& identity, FlashLayout& layout);

// Fills `fields` from the image. A layout key of no generation leaves `fields`
// unchanged; an image shorter than the layout throws std::runtime_error.
void decodeFlashFields(const std::string& image, const FlashLayout& layout, FlashFields& fields);

// Writes the set members of the request into request.work. Every value is
// checked before the first byte changes: a value that does not fit its
// fixed-point field, or a working image shorter than the layout, throws
// std::runtime_error and leaves the image as it was. A field that the
// generation lacks gives a warning line on standard output instead.
void applyFlashChanges(FlashChangeRequest request);
