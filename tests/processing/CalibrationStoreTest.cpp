// Storing the deviation compensation into a sensor's flash image and restoring
// earlier calibrations, for each generation, flag and method.

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ModelSensor.h"
#include "processing/SdkFrame.h"

namespace {

using namespace ModelImages;
using Processing::SensorRecord;
using Processing::QN::CDKv;

// The deviation blocks a fit would have left in the model.
struct Blocks {
  double offsets[9] = {0.05, -0.1, 0.2, 0.01, 0.02, -0.03, 0.05, -0.03, 0.02};
  double magColumns[9] = {1.01, -0.02, 0.3, 0.0, 1.0, 0.05, -0.01, 0.02, 0.99};  // column by column
};

// Words worked out independently (python3) from the image of ModelImages.h and
// the blocks above: value x 2^27 truncated toward zero.
constexpr Words3 kCurrentAccBiases{1342177, -2684355, 4026532};
constexpr Words3 kFactoryAccBiases{-1006632, 2013265, 671088};
constexpr Words3 kPreviousAccBiases{111, -222, 333};
constexpr Words3 kStoredAccBiases{-5778256, 11789026, -21523714};
constexpr Words3 kStoredAccBiasesOverFactory{-8127065, 16486646, -24879158};
constexpr Words3 kStoredGyrBiases{1014725, 332713, -852738};
constexpr Words3 kStoredMagOffsets{6710886, -4026531, 2684354};
constexpr Words9 kStoredMagMatrix{135559905, 0, -1342177, -2684354, 134217728, 2684354, 40265318, 6710886, 132875550};
constexpr Words9 kIdentity{kOne, 0, 0, 0, kOne, 0, 0, 0, kOne};

using Edit = void (*)(Bytes& image);

void WithPrevious(Bytes& image) {
  TestFrames::Put32(image, 928, kValid);
  PutAll(image, 932, kPreviousAccBiases);
}
void WithPreviousRolledBack(Bytes& image) {
  WithPrevious(image);
  TestFrames::Put32(image, 928, kRolledBack);
}
void WithFactory(Bytes& image) {
  TestFrames::Put32(image, 944, kValid);
  PutAll(image, 948, kFactoryAccBiases);
}
void Short(Bytes& image) { image.resize(1071); }

void AccBackups(Bytes& image) {
  TestFrames::Put32(image, 944, kValid);
  PutAll(image, 948, kCurrentAccBiases);
  TestFrames::Put32(image, 928, kValid);
  PutAll(image, 932, kCurrentAccBiases);
}
void AccStored(Bytes& image) {
  AccBackups(image);
  PutAll(image, 36, kStoredAccBiases);
}
void AccRolledBack(Bytes& image) {
  PutAll(image, 36, kPreviousAccBiases);
  TestFrames::Put32(image, 928, kRolledBack);
}
void MagStored(Bytes& image) {
  PutAll(image, 1024, kStoredMagOffsets);
  PutAll(image, 1036, kStoredMagMatrix);
}
void MagReset(Bytes& image) {
  PutAll(image, 1024, Words3{0, 0, 0});
  PutAll(image, 1036, kIdentity);
}

struct Operation {
  bool store;
  std::uint32_t flags;
  std::uint32_t method = 0;
};
Operation Store(std::uint32_t flags) { return {true, flags, 0}; }
Operation Restore(std::uint32_t flags, std::uint32_t method) { return {false, flags, method}; }

std::size_t FirstDifference(const Bytes& a, const Bytes& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) return i;
  return std::min(a.size(), b.size());
}

TEST(CalibrationStore, WritesOrRefusesAsEachGenerationAllows) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* name;
    Generation generation;
    Edit prepare;                      // the image before
    std::function<void(Blocks&)> set;  // the blocks, changed from the defaults above
    Operation operation;
    const char* refusal;  // empty: accepted
    Edit expect;          // what the operation changes in the image
  } cases[] = {
      // DKv5: acceleration biases with their backups, angular-rate biases, magnetic-field deviation.
      {"acc: both backups, then the biases", kDKv5, nullptr, nullptr, Store(1), "", AccStored},
      {"acc again: the factory copy stays", kDKv5, WithFactory, nullptr, Store(1), "",
       +[](Bytes& image) {
         TestFrames::Put32(image, 928, kValid);
         PutAll(image, 932, kCurrentAccBiases);
         PutAll(image, 36, kStoredAccBiasesOverFactory);
       }},
      {"gyr: no backup", kDKv5, nullptr, nullptr, Store(2), "", +[](Bytes& image) { PutAll(image, 48, kStoredGyrBiases); }},
      {"mag: offsets, matrix row by row", kDKv5, nullptr, nullptr, Store(4), "", MagStored},
      {"mag checks only the magnetic offsets", kDKv5, nullptr, [](Blocks& b) { b.offsets[4] = 20; }, Store(4), "",
       MagStored},
      {"acc too high: backups stay, biases do not", kDKv5, nullptr, [](Blocks& b) { b.offsets[0] = 100; }, Store(1),
       "out accOffset are too high", AccBackups},
      {"acc from a zero scale factor: NaN", kDKv5, +[](Bytes& image) { PutS32(image, 72, 0); }, nullptr, Store(1),
       "out accOffset are too high", AccBackups},
      {"gyr too high", kDKv5, nullptr, [](Blocks& b) { b.offsets[5] = 200; }, Store(2), "out gyrOffset are too high",
       nullptr},
      {"acc stands when gyr is refused", kDKv5, nullptr, [](Blocks& b) { b.offsets[5] = 200; }, Store(3),
       "out gyrOffset are too high", AccStored},
      {"NaN magnetic offset", kDKv5, nullptr, [nan](Blocks& b) { b.offsets[7] = nan; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"magnetic offset -16", kDKv5, nullptr, [](Blocks& b) { b.offsets[6] = -16; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"matrix element 16", kDKv5, nullptr, [](Blocks& b) { b.magColumns[5] = 16; }, Store(4),
       "out _deviationCompensationMag are too high", nullptr},
      {"infinite matrix element", kDKv5, nullptr,
       [](Blocks& b) { b.magColumns[0] = std::numeric_limits<double>::infinity(); }, Store(4),
       "out _deviationCompensationMag are too high", nullptr},
      {"short image", kDKv5, Short, nullptr, Store(4),
       "flash image of 1071 bytes is too short for the 1072 bytes of the calibration", nullptr},

      {"acc rolled back", kDKv5, WithPrevious, nullptr, Restore(1, 0), "", AccRolledBack},
      {"acc rolled back twice", kDKv5, WithPreviousRolledBack, nullptr, Restore(1, 0),
       "last HSI calibration was already rolled back", nullptr},
      {"acc never stored", kDKv5, nullptr, nullptr, Restore(1, 0), "never been HSI-recalibrated, nothing to roll-back",
       nullptr},
      {"acc to factory", kDKv5, WithFactory, nullptr, Restore(1, 1), "",
       +[](Bytes& image) { PutAll(image, 36, kFactoryAccBiases); }},
      {"acc to factory without a backup", kDKv5, nullptr, nullptr, Restore(1, 1),
       "already in factory calibration state", nullptr},
      {"acc, method 2", kDKv5, WithPrevious, nullptr, Restore(1, 2), "unknown restore method", nullptr},
      {"gyr", kDKv5, nullptr, nullptr, Restore(2, 1), "unit is not support restore", nullptr},
      {"acc stands when gyr is refused", kDKv5, WithPrevious, nullptr, Restore(3, 0), "unit is not support restore",
       AccRolledBack},
      {"mag to factory", kDKv5, nullptr, nullptr, Restore(4, 1), "", MagReset},
      {"mag rolled back", kDKv5, nullptr, nullptr, Restore(4, 0), "can be rolled back only to factory calibration",
       nullptr},
      {"mag, method 3", kDKv5, nullptr, nullptr, Restore(4, 3), "unknown restore method", nullptr},
      {"short image", kDKv5, Short, nullptr, Restore(1, 1),
       "flash image of 1071 bytes is too short for the 1072 bytes of the calibration", nullptr},

      // DKv6 and DKv7 keep only the magnetic-field deviation, but check all nine offsets.
      {"acc", kDKv6, nullptr, nullptr, Store(1), "unsupported sensetive element", nullptr},
      {"mag with acc ignored", kDKv6, nullptr, nullptr, Store(5), "", MagStored},
      {"gyr offset 20", kDKv6, nullptr, [](Blocks& b) { b.offsets[4] = 20; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"NaN acc offset", kDKv7, nullptr, [nan](Blocks& b) { b.offsets[1] = nan; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"matrix element -17", kDKv7, nullptr, [](Blocks& b) { b.magColumns[8] = -17; }, Store(4),
       "out _deviationCompensationMag are too high", nullptr},
      {"mag", kDKv7, nullptr, nullptr, Store(4), "", MagStored},
      {"gyr", kDKv7, nullptr, nullptr, Store(2), "unsupported sensetive element", nullptr},
      {"short image", kDKv6, Short, nullptr, Store(4),
       "flash image of 1071 bytes is too short for the 1072 bytes of the calibration", nullptr},
      {"acc and gyr", kDKv6, WithPrevious, nullptr, Restore(3, 0), "unsupported sensetive element", nullptr},
      {"mag to factory", kDKv6, nullptr, nullptr, Restore(4, 1), "", MagReset},
      {"mag to factory", kDKv7, nullptr, nullptr, Restore(7, 1), "", MagReset},
      {"mag rolled back", kDKv7, nullptr, nullptr, Restore(4, 0), "can be rolled back only to factory calibration",
       nullptr},
      {"mag, method 9", kDKv6, nullptr, nullptr, Restore(4, 9), "unknown restore method", nullptr},
      {"short image", kDKv7, Short, nullptr, Restore(4, 1),
       "flash image of 1071 bytes is too short for the 1072 bytes of the calibration", nullptr},

      // The quaternion-and-calibrated stage checks only the magnetic-field offsets.
      {"gyr offset 20 passes", kDKv7QCT, nullptr, [](Blocks& b) { b.offsets[4] = 20; }, Store(4), "", MagStored},
      {"mag offset 20", kDKv7QCT, nullptr, [](Blocks& b) { b.offsets[8] = 20; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"gyr", kDKv7QCT, nullptr, nullptr, Store(2), "unsupported sensetive element", nullptr},
      {"mag to factory", kDKv7QCT, nullptr, nullptr, Restore(4, 1), "", MagReset},
      {"acc", kDKv7QCT, WithPrevious, nullptr, Restore(1, 0), "unsupported sensetive element", nullptr},
      {"short image", kDKv7QCT, Short, nullptr, Store(4),
       "flash image of 1071 bytes is too short for the 1072 bytes of the calibration", nullptr},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.generation.name) + ", " + c.name;
    Bytes image = Image(Worked());
    if (c.prepare) c.prepare(image);
    const auto model = c.generation.make(RawSensor(c.generation.name, 0, image), nullptr);
    model->Configure({}, nullptr);
    Blocks blocks;
    if (c.set) c.set(blocks);
    model->SetOffsets(blocks.offsets);
    model->SetMagMatrix(blocks.magColumns);

    Bytes written = image;
    std::optional<std::string> refused;
    try {
      const bool result = c.operation.store ? model->StoreCalibration(written, c.operation.flags)
                                            : model->RestoreCalibration(written, c.operation.flags, c.operation.method);
      EXPECT_TRUE(result) << name;
    } catch (const std::logic_error& error) {
      refused = error.what();
    }
    EXPECT_EQ(refused.value_or(""), c.refusal) << name;

    Bytes expected = image;
    if (c.expect) c.expect(expected);
    EXPECT_EQ(written.size(), expected.size()) << name;
    const std::size_t at = FirstDifference(written, expected);
    EXPECT_EQ(at, expected.size()) << name << ": first different byte " << at;
  }
}

// What a frame of the worked words gives, with the thermal correction off so
// that the stored biases shift the output by exactly the offsets.
std::unique_ptr<SensorRecord> Frame(CDKv& model) {
  boost::property_tree::ptree configuration;
  configuration.put("disablethermo", "1");
  model.Configure(configuration, nullptr);
  auto record = std::make_unique<SensorRecord>();
  const Bytes words = WordBytes(WorkedWords());
  model.Process(words.data(), record.get());
  return record;
}

// Stored words are truncated to 2^-27.
constexpr double kWordTolerance = 1e-7;

TEST(CalibrationStore, LoadingAStoredImageGivesTheCompensationBack) {
  const Blocks blocks;
  const auto sensor = RawSensor("DKv5", 0, Image(Worked()));
  const auto model = kDKv5.make(sensor, nullptr);
  const auto before = Frame(*model);

  Bytes image = sensor->GetFlash();
  model->SetOffsets(blocks.offsets);
  model->SetMagMatrix(blocks.magColumns);
  ASSERT_TRUE(model->StoreCalibration(image, 7));
  sensor->SetFlash(image);
  const auto after = Frame(*model);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(after->acceleration[i], before->acceleration[i] - blocks.offsets[i], kWordTolerance) << i;
    EXPECT_NEAR(after->angularRate[i], before->angularRate[i] - blocks.offsets[3 + i], kWordTolerance) << i;
    EXPECT_NEAR(model->GetOffsets()[i], -blocks.offsets[i], kWordTolerance) << "acceleration offset " << i;
    EXPECT_EQ(model->GetOffsets()[3 + i], 0.0) << "angular-rate offsets are not kept";
    EXPECT_NEAR(model->GetOffsets()[6 + i], blocks.offsets[6 + i], kWordTolerance) << "magnetic offset " << i;
  }
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(model->GetMagMatrix()[i], blocks.magColumns[i], kWordTolerance) << i;

  // Rolled back, the acceleration is the first frame's again; the magnetic
  // deviation is none at all.
  ASSERT_TRUE(model->RestoreCalibration(image, 1, 0));
  ASSERT_TRUE(model->RestoreCalibration(image, 4, 1));
  sensor->SetFlash(image);
  const auto restored = Frame(*model);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(restored->acceleration[i], before->acceleration[i], 1e-12) << i;
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(model->GetOffsets()[i], 0.0) << i;
    EXPECT_EQ(model->GetMagMatrix()[i], i % 4 == 0 ? 1.0 : 0.0) << i;
  }

  for (const Generation& generation : {kDKv6, kDKv7}) {
    const auto other = generation.make(RawSensor(generation.name, 0, Image(Worked())), nullptr);
    Bytes stored = Image(Worked());
    other->SetOffsets(blocks.offsets);
    other->SetMagMatrix(blocks.magColumns);
    ASSERT_TRUE(other->StoreCalibration(stored, 4)) << generation.name;
    ASSERT_TRUE(other->LoadCalibration(stored)) << generation.name;
    for (int i = 0; i < 9; ++i) {
      EXPECT_NEAR(other->GetMagMatrix()[i], blocks.magColumns[i], kWordTolerance) << generation.name << " " << i;
      const double offset = i >= 6 ? blocks.offsets[i] : 0.0;
      EXPECT_NEAR(other->GetOffsets()[i], offset, kWordTolerance) << generation.name << " offset " << i;
    }
  }
}

}  // namespace
