#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "FlashLayout.h"

namespace {

const FlashLayout& Row(const std::string& key) {
  const FlashLayout* layout = findFlashLayout(key);
  if (!layout) throw std::logic_error("no row " + key);
  return *layout;
}

void PutWord(std::string& image, std::size_t offset, std::size_t bytes, std::uint32_t word) {
  for (std::size_t i = 0; i < bytes; ++i, word >>= 8) image[offset + i] = static_cast<char>(word & 0xFF);
}

std::uint32_t GetWord(const std::string& image, std::size_t offset, std::size_t bytes) {
  std::uint32_t word = 0;
  for (std::size_t i = bytes; i-- > 0;) word = (word << 8) | static_cast<unsigned char>(image[offset + i]);
  return word;
}

// An image of the generation's size with every byte filled from a fixed
// pseudo-random sequence, so that the codec has to carry unrelated bytes through.
std::string NoiseImage(const FlashLayout& layout, std::uint32_t seed) {
  std::string image(static_cast<std::size_t>(layout.size), '\0');
  for (auto& byte : image) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return image;
}

// Captures standard output for the object's life.
class CoutCapture {
 public:
  CoutCapture() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(previous_); }
  std::string Text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* previous_;
};

// Runs the encoder on a copy of the image and returns the working copy.
std::string Encode(const std::string& image, const std::string& key,
                   const std::function<void(FlashChangeRequest&)>& set) {
  std::string work = image;
  FlashChangeRequest request{image, work, key};
  set(request);
  applyFlashChanges(request);
  return work;
}

FlashFields Decode(const std::string& image, const std::string& key) {
  FlashFields fields;
  decodeFlashFields(image, Row(key), fields);
  return fields;
}

TEST(FlashLayoutSelection, ChoosesTheLastGenerationNamedInTheIdentity) {
  const struct {
    std::string identity;
    std::string key;  // empty: no layout
  } cases[] = {
      {"QN IMU DKv6 Sep 15 2017", "DKv6"},
      {"DKv4 Mar  1 2016", "DKv4"},
      {"QN DKv5 Jan 10 2018", "DKv5"},
      {"DKv5 board with DKv6 firmware", "DKv6"},
      {"DKv6 over DKv4", "DKv6"},
      {"QN DKv3 Jan 10 2014", ""},
      {"dkv6 in lower case", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    FlashLayout layout;
    if (c.key.empty()) {
      try {
        selectFlashLayout(c.identity, layout);
        ADD_FAILURE() << c.identity << " selected " << layout.key;
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "can't find a matching flash memory layout") << c.identity;
      }
      continue;
    }
    selectFlashLayout(c.identity, layout);
    EXPECT_EQ(layout.key, c.key) << c.identity;
    EXPECT_EQ(layout.size, Row(c.key).size) << c.identity;
    EXPECT_EQ(layout.offsets, Row(c.key).offsets) << c.identity;
  }
}

TEST(FlashLayoutTable, RowsHaveTheGenerationsSizesAndOffsets) {
  const FlashOffsets dkv6 = {8,    48,   52,   56,   1168, 1100, 1096, 1078, 1076,
                             1384, 1388, 1392, 1396, 1400, 216,  1152, 1156, 1160};
  EXPECT_EQ(Row("DKv6").offsets, dkv6);
  EXPECT_EQ(Row("DKv6").size, 2048);
  EXPECT_EQ(Row("DKv5").size, 2048);
  EXPECT_EQ(Row("DKv4").size, 512);
  for (std::size_t i = 0; i < FlashField::Count; ++i) {
    EXPECT_EQ(Row("DKv5").offsets[i], i <= FlashField::MagnetometerGain ? dkv6[i] : kAbsentFlashField) << i;
    const std::int32_t dkv4[] = {8, 26, 28, 30};
    EXPECT_EQ(Row("DKv4").offsets[i], i < 4 ? dkv4[i] : kAbsentFlashField) << i;
  }
}

// A real-shaped image of each generation: known field words over noise. Decoding
// finds the words; writing every decoded field back leaves the image byte for byte.
TEST(FlashFieldCodec, DecodeThenEncodeIsByteIdentical) {
  for (const auto& row : kFlashLayouts) {
    const std::string key(row.key);
    SCOPED_TRACE(key);
    std::string image = NoiseImage(row, 0x5EED0000u + static_cast<std::uint32_t>(row.size));
    const auto& at = row.offsets;
    const std::size_t w = static_cast<std::size_t>(row.calibrationWordBytes);
    PutWord(image, at[FlashField::SerialNumber], 4, 20241107u);
    PutWord(image, at[FlashField::GyroBiasX], w, static_cast<std::uint32_t>(-1234));
    PutWord(image, at[FlashField::GyroBiasY], w, 0);
    PutWord(image, at[FlashField::GyroBiasZ], w, 987);
    if (row.has(FlashField::MagnetometerGain)) PutWord(image, at[FlashField::MagnetometerGain], 4, 56371445u);
    if (row.has(FlashField::GyroCorrectionX)) {
      PutWord(image, at[FlashField::GyroCorrectionX], 4, static_cast<std::uint32_t>(-67108));
      PutWord(image, at[FlashField::GyroCorrectionY], 4, 1);
      PutWord(image, at[FlashField::GyroCorrectionZ], 4, 0x7FFFFFFFu);
    }
    if (row.has(FlashField::MagnetometerChannel)) {
      PutWord(image, at[FlashField::MagnetometerChannel], 4, 1);
      PutWord(image, at[FlashField::GyroCalibrationDisable], 4, 0);
      PutWord(image, at[FlashField::TaringDuration], 2, 1000);
      PutWord(image, at[FlashField::WarmUpTime], 2, 3);
      for (std::size_t i = 0; i < 5; ++i) PutWord(image, at[FlashField::BiasCoefficient1 + i], 4, 0);
      PutWord(image, at[FlashField::BiasCoefficient5], 4, 0x08000000u);
      // Record 26: IT 12, -3; KX 100, 0, -7.
      const std::size_t record = at[FlashField::TemperatureCorrection] + 26 * 16;
      PutWord(image, record, 2, 12);
      PutWord(image, record + 2, 2, static_cast<std::uint16_t>(-3));
      PutWord(image, record + 4, 4, 100);
      PutWord(image, record + 8, 4, 0);
      PutWord(image, record + 12, 4, static_cast<std::uint32_t>(-7));
    }

    const FlashFields fields = Decode(image, key);
    EXPECT_EQ(fields.type, key);
    EXPECT_EQ(fields.serial, 20241107u);
    EXPECT_EQ(fields.gyroBiasX, -1234);
    EXPECT_EQ(fields.gyroBiasY, 0);
    EXPECT_EQ(fields.gyroBiasZ, 987);
    EXPECT_EQ(fields.scale, row.scale);
    EXPECT_EQ(fields.layout.offsets, row.offsets);
    EXPECT_EQ(fields.magnetometerGainRaw.has_value(), row.has(FlashField::MagnetometerGain));
    EXPECT_EQ(fields.gyroCorrectionX.has_value(), row.has(FlashField::GyroCorrectionX));
    EXPECT_EQ(fields.temperatureCorrection.has_value(), row.has(FlashField::TemperatureCorrection));
    if (fields.magnetometerGainRaw) {
      EXPECT_EQ(*fields.magnetometerGainRaw, 56371445);
      EXPECT_DOUBLE_EQ(*fields.magnetometerGain, 0.41999999433755875);
    }
    if (fields.gyroCorrectionX) {
      EXPECT_EQ(*fields.gyroCorrectionX, -67108);
      EXPECT_EQ(*fields.gyroCorrectionY, 1);
      EXPECT_EQ(*fields.gyroCorrectionZ, 0x7FFFFFFF);
    }
    if (fields.temperatureCorrection) {
      EXPECT_EQ(*fields.magnetometerChannel, 1u);
      EXPECT_EQ(*fields.gyroCalibrationDisable, 0u);
      EXPECT_EQ(*fields.taringDuration, 1000);
      EXPECT_EQ(*fields.warmUpTime, 3);
      for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fields.biasCoefficients[i], 0u) << i;
      EXPECT_EQ(fields.biasCoefficients[4], 0x08000000u);
      const auto& record = (*fields.temperatureCorrection)[26];
      EXPECT_EQ(record.it[0], 12);
      EXPECT_EQ(record.it[1], -3);
      EXPECT_EQ(record.kx[0], 100);
      EXPECT_EQ(record.kx[1], 0);
      EXPECT_EQ(record.kx[2], -7);
    } else {
      EXPECT_FALSE(fields.warmUpTime);
      EXPECT_FALSE(fields.taringDuration);
      for (const auto& coefficient : fields.biasCoefficients) EXPECT_FALSE(coefficient);
    }

    CoutCapture out;
    const std::string written = Encode(image, key, [&](FlashChangeRequest& r) {
      r.gyroBiasX = fields.gyroBiasX / fields.scale;
      r.gyroBiasY = fields.gyroBiasY / fields.scale;
      r.gyroBiasZ = fields.gyroBiasZ / fields.scale;
      if (fields.gyroCorrectionX) {
        r.gyroCorrectionX = *fields.gyroCorrectionX / kGyroCorrectionScale;
        r.gyroCorrectionY = *fields.gyroCorrectionY / kGyroCorrectionScale;
        r.gyroCorrectionZ = *fields.gyroCorrectionZ / kGyroCorrectionScale;
      }
      r.magnetometerGain = fields.magnetometerGain;
      r.magnetometerChannel = fields.magnetometerChannel;
      r.gyroCalibrationDisable = fields.gyroCalibrationDisable;
      r.taringDuration = fields.taringDuration;
    });
    EXPECT_TRUE(written == image) << "the encoder changed bytes it was given back unchanged";
    EXPECT_EQ(out.Text(), "");
  }
}

// Each fixed-point field at its extremes and around zero: the stored word, the
// bytes, and the word decoded from them.
TEST(FlashFieldCodec, FixedPointFieldsRoundTripAtTheirExtremes) {
  enum Field { Bias, Correction, Gain };
  const double b15 = 32768.0, b27 = 134217728.0, b26 = 67108864.0;
  const double i32max = std::numeric_limits<std::int32_t>::max();
  const struct {
    std::string key;
    Field field;
    double value;
    std::int32_t word;
  } cases[] = {
      {"DKv4", Bias, -1.0, -32768},
      {"DKv4", Bias, 32767 / b15, 32767},
      {"DKv4", Bias, 0.0, 0},
      {"DKv4", Bias, 1 / b15, 1},
      {"DKv4", Bias, -1 / b15, -1},
      {"DKv4", Bias, -0.5, -16384},
      {"DKv5", Bias, -16.0, std::numeric_limits<std::int32_t>::min()},
      {"DKv5", Bias, i32max / b27, std::numeric_limits<std::int32_t>::max()},
      {"DKv5", Bias, 1 / b27, 1},
      {"DKv6", Bias, -1 / b27, -1},
      {"DKv6", Bias, 0.0, 0},
      {"DKv6", Correction, -32.0, std::numeric_limits<std::int32_t>::min()},
      {"DKv6", Correction, i32max / b26, std::numeric_limits<std::int32_t>::max()},
      {"DKv6", Correction, 0.0, 0},
      {"DKv6", Correction, 1 / b26, 1},
      {"DKv6", Correction, -0.001, -67108},  // -67108.864 truncated toward zero
      {"DKv5", Gain, 0.0, 0},
      {"DKv5", Gain, 1.0, 134217728},
      {"DKv6", Gain, 0.42, 56371445},  // 56371445.76 truncated
      {"DKv6", Gain, 1 / b27, 1},
      {"DKv6", Gain, -16.0, std::numeric_limits<std::int32_t>::min()},
      {"DKv6", Gain, i32max / b27, std::numeric_limits<std::int32_t>::max()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " field " + std::to_string(c.field) + " value " + std::to_string(c.value));
    const FlashLayout& row = Row(c.key);
    const std::string image = NoiseImage(row, 7);
    const std::string written = Encode(image, c.key, [&](FlashChangeRequest& r) {
      if (c.field == Bias) r.gyroBiasX = r.gyroBiasY = r.gyroBiasZ = c.value;
      if (c.field == Correction) r.gyroCorrectionX = r.gyroCorrectionY = r.gyroCorrectionZ = c.value;
      if (c.field == Gain) r.magnetometerGain = c.value;
    });
    const FlashField::Index first = c.field == Bias         ? FlashField::GyroBiasX
                                    : c.field == Correction ? FlashField::GyroCorrectionX
                                                            : FlashField::MagnetometerGain;
    const std::size_t count = c.field == Gain ? 1 : 3;
    const std::size_t bytes = static_cast<std::size_t>(flashFieldBytes(row, first));
    const std::uint32_t mask = bytes == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    std::string expected = image;
    for (std::size_t i = 0; i < count; ++i)
      PutWord(expected, row.offsets[first + i], bytes, static_cast<std::uint32_t>(c.word) & mask);
    EXPECT_TRUE(written == expected) << "word at " << row.offsets[first] << " is "
                                     << GetWord(written, row.offsets[first], bytes);

    const FlashFields fields = Decode(written, c.key);
    if (c.field == Bias) {
      EXPECT_EQ(fields.gyroBiasX, c.word);
      EXPECT_EQ(fields.gyroBiasZ, c.word);
    }
    if (c.field == Correction) {
      EXPECT_EQ(fields.gyroCorrectionY, c.word);
    }
    if (c.field == Gain) {
      EXPECT_EQ(fields.magnetometerGainRaw, c.word);
      EXPECT_EQ(fields.magnetometerGain, c.word / row.scale);
    }
  }
}

TEST(FlashFieldCodec, SpecimenBytes) {
  // DKv4 bias -0.5 is the 16-bit word 0xC000 at byte 26.
  const std::string dkv4 = Encode(std::string(512, '\0'), "DKv4", [](FlashChangeRequest& r) {
    r.gyroBiasX = -0.5;
    r.gyroBiasY = r.gyroBiasZ = 0.0;
  });
  EXPECT_EQ(static_cast<unsigned char>(dkv4[26]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(dkv4[27]), 0xC0);
  // DKv6 correction -0.001 is stored as DC F9 FE FF at byte 1152.
  const std::string dkv6 = Encode(std::string(2048, '\0'), "DKv6", [](FlashChangeRequest& r) {
    r.gyroCorrectionX = -0.001;
    r.gyroCorrectionY = r.gyroCorrectionZ = 0.0;
  });
  EXPECT_EQ(dkv6.substr(1152, 4), std::string("\xDC\xF9\xFE\xFF", 4));
}

// A value whose word does not fit is refused with nothing written, also when
// other members of the same request are fine.
TEST(FlashFieldCodec, RefusesValuesOutsideTheFieldInsteadOfWrapping) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::string key;
    std::function<void(FlashChangeRequest&)> set;
    std::string message;
  } cases[] = {
      {"DKv4", [](FlashChangeRequest& r) { r.gyroBiasX = 1.0; }, "the gyro bias X does not fit into its flash field"},
      {"DKv4", [](FlashChangeRequest& r) { r.gyroBiasY = -1.0 - 1 / 32768.0; }, "the gyro bias Y does not fit into its flash field"},
      {"DKv5", [](FlashChangeRequest& r) { r.gyroBiasZ = 16.0; }, "the gyro bias Z does not fit into its flash field"},
      {"DKv6", [](FlashChangeRequest& r) { r.gyroBiasX = -16.0 - 1 / 134217728.0; }, "the gyro bias X does not fit into its flash field"},
      {"DKv6", [](FlashChangeRequest& r) { r.gyroCorrectionZ = 32.0; }, "the gyro correction Z does not fit into its flash field"},
      {"DKv6", [](FlashChangeRequest& r) { r.gyroCorrectionX = -32.0 - 1 / 67108864.0; }, "the gyro correction X does not fit into its flash field"},
      {"DKv6", [](FlashChangeRequest& r) { r.magnetometerGain = 16.0; }, "the magnetometer gain does not fit into its flash field"},
      {"DKv5", [&](FlashChangeRequest& r) { r.magnetometerGain = nan; }, "the magnetometer gain does not fit into its flash field"},
      {"DKv6", [&](FlashChangeRequest& r) { r.gyroBiasY = -inf; }, "the gyro bias Y does not fit into its flash field"},
  };
  for (const auto& c : cases) {
    const FlashLayout& row = Row(c.key);
    const std::string image = NoiseImage(row, 99);
    std::string work = image;
    FlashChangeRequest request{image, work, c.key};
    // Valid neighbours: none of them may reach the image either.
    request.gyroBiasX = request.gyroBiasY = request.gyroBiasZ = 0.25;
    request.gyroCorrectionX = request.gyroCorrectionY = request.gyroCorrectionZ = 0.25;
    request.magnetometerGain = 0.5;
    request.magnetometerChannel = 1;
    request.gyroCalibrationDisable = 1;
    request.taringDuration = 500;
    c.set(request);
    CoutCapture out;
    try {
      applyFlashChanges(request);
      ADD_FAILURE() << c.message << ": accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_TRUE(work == image) << c.message << ": the image changed";
    EXPECT_EQ(out.Text(), "") << c.message;
  }
}

// Changes that a generation cannot hold print their warning, change no byte,
// and do not stop the other changes of the same request.
TEST(FlashFieldCodec, FieldsTheGenerationLacksWarnAndChangeNothing) {
  const struct {
    std::string key;
    std::function<void(FlashChangeRequest&)> set;
    std::string output;
  } cases[] = {
      {"DKv5", [](FlashChangeRequest& r) { r.magnetometerChannel = 1; },
       "WARNING: the current device does not expose the magnetometer channel in the flash\n"},
      {"DKv4", [](FlashChangeRequest& r) { r.magnetometerGain = 0.5; },
       "WARNING: the current device does not expose the magnetometer gain in the flash\n"},
      {"DKv5", [](FlashChangeRequest& r) { r.gyroCalibrationDisable = 0; },
       "WARNING: the current device does not support the hardware gyro calibration\n"},
      {"DKv4", [](FlashChangeRequest& r) { r.taringDuration = 500; },
       "WARNING: the current device does not support the taring duration\n"},
      {"DKv4", [](FlashChangeRequest& r) { r.gyroCorrectionX = r.gyroCorrectionY = r.gyroCorrectionZ = 0.001; },
       "WARNING: the current device does not expose the gyro correction in the flash\n"},
      {"DKv5", [](FlashChangeRequest& r) { r.gyroCorrectionX = r.gyroCorrectionY = r.gyroCorrectionZ = 0.001; },
       "WARNING: the current device does not expose the gyro correction in the flash\n"},
      {"DKv4", [](FlashChangeRequest& r) {
         r.magnetometerGain = 0.5;
         r.magnetometerChannel = 0;
         r.gyroCalibrationDisable = 1;
         r.taringDuration = 1;
       },
       "WARNING: the current device does not expose the magnetometer gain in the flash\n"
       "WARNING: the current device does not expose the magnetometer channel in the flash\n"
       "WARNING: the current device does not support the hardware gyro calibration\n"
       "WARNING: the current device does not support the taring duration\n"},
      // A key of no generation: nothing happens and nothing is said.
      {"DKv3", [](FlashChangeRequest& r) { r.magnetometerChannel = 1; }, ""},
  };
  for (const auto& c : cases) {
    const std::string image = NoiseImage(Row("DKv6"), 3);
    CoutCapture out;
    const std::string written = Encode(image, c.key, c.set);
    EXPECT_EQ(out.Text(), c.output) << c.key;
    EXPECT_TRUE(written == image) << c.key << ": the image changed";
  }

  // A partial bias or correction (not all three axes) writes nothing.
  const std::string image = NoiseImage(Row("DKv6"), 4);
  EXPECT_TRUE(Encode(image, "DKv6", [](FlashChangeRequest& r) {
                r.gyroBiasX = r.gyroBiasY = 0.5;
                r.gyroCorrectionZ = 0.5;
              }) == image);
}

TEST(FlashFieldCodec, UnsignedFieldsAreStoredWithTheirWidth) {
  const std::string image(2048, '\x55');
  const std::string written = Encode(image, "DKv6", [](FlashChangeRequest& r) {
    r.magnetometerChannel = 0xA1B2C3D4u;
    r.gyroCalibrationDisable = 1;
    r.taringDuration = 65500;  // 131 s at 500 samples per second
  });
  std::string expected = image;
  PutWord(expected, 1100, 4, 0xA1B2C3D4u);
  PutWord(expected, 1096, 4, 1);
  PutWord(expected, 1078, 2, 65500);
  EXPECT_TRUE(written == expected);
  const FlashFields fields = Decode(written, "DKv6");
  EXPECT_EQ(fields.magnetometerChannel, 0xA1B2C3D4u);
  EXPECT_EQ(fields.taringDuration, 65500);
  EXPECT_EQ(fields.warmUpTime, 0x5555);
}

// The sensor stream hands over whatever block the sensor sent: a short one must
// be refused, not read past its end.
TEST(FlashFieldCodec, ShortImagesAreRefused) {
  for (const auto& row : kFlashLayouts) {
    const std::string key(row.key);
    const std::string image(static_cast<std::size_t>(row.size) - 1, '\0');
    FlashFields fields;
    fields.serial = 77;
    EXPECT_THROW(decodeFlashFields(image, row, fields), std::runtime_error) << key;
    EXPECT_EQ(fields.serial, 77u) << key;
    EXPECT_THROW(Encode(image, key, [](FlashChangeRequest& r) { r.magnetometerChannel = 1; }),
                 std::runtime_error)
        << key;
  }
  // A longer image is fine; the bytes past the layout are carried through.
  const std::string longer = NoiseImage(Row("DKv6"), 8) + "tail";
  EXPECT_EQ(Decode(longer, "DKv6").type, "DKv6");
}

TEST(FlashFieldCodec, UnknownLayoutLeavesTheFieldsAlone) {
  FlashFields fields(Row("DKv5"));
  fields.serial = 42;
  FlashLayout unknown;
  decodeFlashFields(std::string(2048, '\1'), unknown, fields);
  EXPECT_EQ(fields.serial, 42u);
  EXPECT_EQ(fields.layout.key, "DKv5");
}

}  // namespace
