// Storing the deviation compensation into a sensor's flash image and restoring
// earlier calibrations, for each generation, flag and method.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ModelImages16.h"
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

// One store or restore on a model loaded from an image: the refusal it gives
// (empty: accepted) and what it changes in the image.
struct StoreCase {
  const char* name;
  Generation generation;
  Edit prepare;                      // the image before
  std::function<void(Blocks&)> set;  // the blocks, changed from the defaults
  Operation operation;
  const char* refusal;
  Edit expect;
};

void RunStoreCase(const StoreCase& c, const Bytes& base, const Blocks& defaults) {
  const std::string name = std::string(c.generation.name) + ", " + c.name;
  Bytes image = base;
  if (c.prepare) c.prepare(image);
  const auto model = c.generation.make(RawSensor(c.generation.name, 0, image), nullptr);
  model->Configure({}, nullptr);
  Blocks blocks = defaults;
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

TEST(CalibrationStore, WritesOrRefusesAsEachGenerationAllows) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const StoreCase cases[] = {
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
  for (const auto& c : cases) RunStoreCase(c, Image(Worked()), Blocks{});
}

// The 16-bit generations: words worked out independently (python3) from the
// image of ModelImages16.h and the blocks below: value x 32768 truncated toward
// zero; the field matrix divided by its new scale word K first.
namespace Sixteen {

using ModelImages16::MagCalibration;
using ModelImages16::PutAll;
using ModelImages16::PutMag;
using Words3 = ModelImages16::Words3;
using Words9 = ModelImages16::Words9;

// Output-unit offsets large enough to move the angular-rate words (x 1000).
Blocks Defaults() {
  Blocks blocks;
  blocks.offsets[3] = 20;
  blocks.offsets[4] = -35;
  blocks.offsets[5] = 12;
  return blocks;
}

constexpr Words3 kAccBiases{1311, -655, 2621};
const MagCalibration kMag{2, {3277, -1966, 983}, {15892, 819, -328, -492, 16876, 164, 328, -164, 16712}};
constexpr Words3 kFactoryAcc{-1000, 2000, 500};
const MagCalibration kFactoryMag{3, {3000, -2000, 1000}, {10650, 400, -200, -300, 11000, 100, 200, -100, 10900}};
constexpr Words3 kPreviousAcc{111, -222, 333};
const MagCalibration kPreviousMag{5, {10, -20, 30}, {16000, 1, 2, 3, 16001, 4, 5, 6, 16002}};

constexpr Words3 kStoredAcc{2197, -2386, 5895};
constexpr Words3 kStoredAccOverFactory{-113, 268, 3774};
constexpr Words3 kStoredGyr{753, -1309, 443};
// The same matrix words come out for K = 1 (half the deviation), K = 2, and K =
// 2 over a field scale of 1 with twice the deviation: only K tells them apart.
constexpr Words9 kStoredMagMatrix{16047, 828, -498, -803, 16856, 504, 5067, 927, 16454};
const MagCalibration kStoredMag{2, {2402, -1511, 683}, kStoredMagMatrix};
const MagCalibration kStoredMagK1{1, {2402, -1511, 683}, kStoredMagMatrix};
const MagCalibration kStoredMagOverScale1{2, {1528, -1056, 383}, kStoredMagMatrix};
const MagCalibration kStoredMagOverFactory{2, {2136, -1532, 691},
                                           {16131, 607, -466, -763, 16485, 483, 5067, 856, 16104}};

void Put(Bytes& image, std::size_t at, std::uint16_t word) { TestFrames::Put16(image, at, word); }
// The main field calibration lies in three places: scale word, biases, matrix.
void PutMainMag(Bytes& image, const MagCalibration& mag) {
  Put(image, 16, static_cast<std::uint16_t>(mag.scale));
  PutAll(image, 32, mag.biases);
  PutAll(image, 74, mag.matrix);
}

void WithFactories(Bytes& image) {
  Put(image, 392, ModelImages16::kValid);
  PutAll(image, 394, kFactoryAcc);
  Put(image, 356, ModelImages16::kValid);
  PutMag(image, 358, kFactoryMag);
}
void WithPrevious(Bytes& image) {
  Put(image, 384, ModelImages16::kValid);
  PutAll(image, 386, kPreviousAcc);
  Put(image, 328, ModelImages16::kValid);
  PutMag(image, 330, kPreviousMag);
}
void WithPreviousRolledBack(Bytes& image) {
  WithPrevious(image);
  Put(image, 384, ModelImages16::kRolledBack);
  Put(image, 328, ModelImages16::kRolledBack);
}
void FieldScale1(Bytes& image) { Put(image, 16, 1); }
void FieldScale0(Bytes& image) { Put(image, 16, 0); }
void Short(Bytes& image) { image.resize(399); }

void AccBackups(Bytes& image) {
  Put(image, 392, ModelImages16::kValid);
  PutAll(image, 394, kAccBiases);
  Put(image, 384, ModelImages16::kValid);
  PutAll(image, 386, kAccBiases);
}
void AccStored(Bytes& image) {
  AccBackups(image);
  PutAll(image, 20, kStoredAcc);
}
void MagBackups(Bytes& image, const MagCalibration& before) {
  Put(image, 356, ModelImages16::kValid);
  PutMag(image, 358, before);
  Put(image, 328, ModelImages16::kValid);
  PutMag(image, 330, before);
}
void MagStored(Bytes& image) {
  MagBackups(image, kMag);
  PutMainMag(image, kStoredMag);
}

TEST(CalibrationStore, DKv3AndDKv4WriteOrRefuseEachPart) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const StoreCase cases[] = {
      {"acc: both backups, then the biases", kDKv3, nullptr, nullptr, Store(1), "", AccStored},
      {"acc over a factory backup: it stays", kDKv3, WithFactories, nullptr, Store(1), "",
       +[](Bytes& image) {
         Put(image, 384, ModelImages16::kValid);
         PutAll(image, 386, kAccBiases);
         PutAll(image, 20, kStoredAccOverFactory);
       }},
      {"gyr: no backup", kDKv3, nullptr, nullptr, Store(2), "", +[](Bytes& image) { PutAll(image, 26, kStoredGyr); }},
      {"mag: both backups, biases, K = 2, matrix", kDKv3, nullptr, nullptr, Store(4), "", MagStored},
      {"mag: K = 1", kDKv4, nullptr,
       [](Blocks& b) {
         for (double& v : b.magColumns) v *= 0.5;
       },
       Store(4), "",
       +[](Bytes& image) {
         MagBackups(image, kMag);
         PutMainMag(image, kStoredMagK1);
       }},
      {"mag: K = 2 over a field scale of 1", kDKv3, FieldScale1,
       [](Blocks& b) {
         for (double& v : b.magColumns) v *= 2;
       },
       Store(4), "",
       +[](Bytes& image) {
         MagBackups(image, {1, kMag.biases, kMag.matrix});
         PutMainMag(image, kStoredMagOverScale1);
       }},
      {"mag over a factory backup: it stays", kDKv3, WithFactories, nullptr, Store(4), "",
       +[](Bytes& image) {
         Put(image, 328, ModelImages16::kValid);
         PutMag(image, 330, kMag);
         PutMainMag(image, kStoredMagOverFactory);
       }},
      {"all three", kDKv4, nullptr, nullptr, Store(7), "",
       +[](Bytes& image) {
         AccStored(image);
         PutAll(image, 26, kStoredGyr);
         MagStored(image);
       }},
      // Refused parts write nothing, not even their backups.
      {"acc bias above 32767/32768", kDKv3, nullptr, [](Blocks& b) { b.offsets[0] = 2.0; }, Store(1),
       "out accOffset are too high", nullptr},
      {"acc bias below -1", kDKv3, nullptr, [](Blocks& b) { b.offsets[2] = -2.2; }, Store(1),
       "out accOffset are too high", nullptr},
      {"NaN acc offset", kDKv4, nullptr, [nan](Blocks& b) { b.offsets[1] = nan; }, Store(1),
       "out accOffset are too high", nullptr},
      {"gyr bias out of range", kDKv3, nullptr, [](Blocks& b) { b.offsets[4] = 2000; }, Store(2),
       "out gyrOffset are too high", nullptr},
      {"acc stands when gyr is refused", kDKv3, nullptr, [nan](Blocks& b) { b.offsets[3] = nan; }, Store(3),
       "out gyrOffset are too high", AccStored},
      {"NaN mag offset", kDKv3, nullptr, [nan](Blocks& b) { b.offsets[8] = nan; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"mag bias out of range", kDKv4, nullptr, [](Blocks& b) { b.offsets[6] = 3; }, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"singular factory field matrix", kDKv3, FieldScale0, nullptr, Store(4),
       "out _deviationCompensationOffsets are too high", nullptr},
      {"K above 32767", kDKv3, nullptr, [](Blocks& b) { b.magColumns[4] = 20000; }, Store(4),
       "out _deviationCompensationMag are too high", nullptr},
      {"infinite matrix element", kDKv3, nullptr,
       [](Blocks& b) { b.magColumns[2] = std::numeric_limits<double>::infinity(); }, Store(4),
       "out _deviationCompensationMag are too high", nullptr},
      {"acc stands when mag is refused", kDKv3, nullptr, [](Blocks& b) { b.magColumns[0] = 1e6; }, Store(5),
       "out _deviationCompensationMag are too high", AccStored},
      {"short image", kDKv3, Short, nullptr, Store(2),
       "flash image of 399 bytes is too short for the 400 bytes of the calibration", nullptr},

      {"acc rolled back", kDKv3, WithPrevious, nullptr, Restore(1, 0), "",
       +[](Bytes& image) {
         PutAll(image, 20, kPreviousAcc);
         Put(image, 384, ModelImages16::kRolledBack);
       }},
      {"acc rolled back twice", kDKv3, WithPreviousRolledBack, nullptr, Restore(1, 0),
       "last HSI calibration was already rolled back", nullptr},
      {"acc never stored", kDKv4, nullptr, nullptr, Restore(1, 0),
       "sensor has never been HSI-recalibrated, nothing to roll-back", nullptr},
      {"acc to factory", kDKv3, WithFactories, nullptr, Restore(1, 1), "",
       +[](Bytes& image) { PutAll(image, 20, kFactoryAcc); }},
      {"acc to factory without a backup", kDKv3, WithPrevious, nullptr, Restore(1, 1),
       "already in factory calibration state", nullptr},
      {"acc, method 2", kDKv3, WithPrevious, nullptr, Restore(1, 2), "unknown restore method", nullptr},
      {"gyr", kDKv3, WithPrevious, nullptr, Restore(2, 0), "unit is not support restore", nullptr},
      {"acc stands when gyr is refused", kDKv3, WithFactories, nullptr, Restore(3, 1), "unit is not support restore",
       +[](Bytes& image) { PutAll(image, 20, kFactoryAcc); }},
      {"mag rolled back", kDKv4, WithPrevious, nullptr, Restore(4, 0), "",
       +[](Bytes& image) {
         PutMainMag(image, kPreviousMag);
         Put(image, 328, ModelImages16::kRolledBack);
       }},
      {"mag rolled back twice", kDKv3, WithPreviousRolledBack, nullptr, Restore(4, 0),
       "last HSI calibration was already rolled back", nullptr},
      {"mag never stored", kDKv3, nullptr, nullptr, Restore(4, 0), "never been HSI-recalibrated, nothing to roll-back",
       nullptr},
      {"mag to factory", kDKv3, WithFactories, nullptr, Restore(4, 1), "",
       +[](Bytes& image) { PutMainMag(image, kFactoryMag); }},
      {"mag to factory without a backup", kDKv3, WithPrevious, nullptr, Restore(4, 1),
       "already in factory calibration state", nullptr},
      {"mag, method 7", kDKv3, WithFactories, nullptr, Restore(4, 7), "unknown restore method", nullptr},
      {"acc and mag rolled back", kDKv3, WithPrevious, nullptr, Restore(5, 0), "",
       +[](Bytes& image) {
         PutAll(image, 20, kPreviousAcc);
         Put(image, 384, ModelImages16::kRolledBack);
         PutMainMag(image, kPreviousMag);
         Put(image, 328, ModelImages16::kRolledBack);
       }},
      {"short image", kDKv4, Short, nullptr, Restore(1, 1),
       "flash image of 399 bytes is too short for the 400 bytes of the calibration", nullptr},
  };
  // The load's completion of the factory matrix is no part of a store.
  for (const auto& c : cases) RunStoreCase(c, ModelImages16::Image(ModelImages16::Worked()), Defaults());
}

}  // namespace Sixteen

// What a frame of the worked words gives, with the thermal correction off so
// that the stored biases shift the output by exactly the offsets.
std::unique_ptr<SensorRecord> Frame(CDKv& model, const std::vector<std::int16_t>& words = WorkedWords()) {
  boost::property_tree::ptree configuration;
  configuration.put("disablethermo", "1");
  model.Configure(configuration, nullptr);
  auto record = std::make_unique<SensorRecord>();
  const Bytes input = WordBytes(words);
  model.Process(input.data(), record.get());
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
    EXPECT_NEAR(model->GetOffsets()[i], blocks.offsets[i], kWordTolerance) << "acceleration offset " << i;
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

// A DKv3 sensor's image through two stores and the restores, each followed by
// the reload that a flash write brings.
TEST(CalibrationStore, DKv3StoresTwiceAndRestoresBothCopies) {
  const Blocks blocks = Sixteen::Defaults();
  const Bytes original = ModelImages16::Image(ModelImages16::Worked());
  const auto sensor = RawSensor("DKv3", 0, original);
  const auto model = kDKv3.make(sensor, nullptr);
  const auto frame = [&] { return Frame(*model, ModelImages16::WorkedWords()); };
  const auto before = frame();
  const auto store = [&](const Blocks& with, std::uint32_t flags) {
    Bytes image = sensor->GetFlash();
    model->SetOffsets(with.offsets);
    model->SetMagMatrix(with.magColumns);
    model->StoreCalibration(image, flags);
    sensor->SetFlash(image);
  };
  const auto restore = [&](std::uint32_t flags, std::uint32_t method) {
    Bytes image = sensor->GetFlash();
    model->RestoreCalibration(image, flags, method);
    sensor->SetFlash(image);
  };
  const auto magWords = [&] {
    Bytes words;
    for (const auto& [at, size] : {std::pair<std::ptrdiff_t, std::ptrdiff_t>{16, 2}, {32, 6}, {74, 18}})
      words.insert(words.end(), sensor->GetFlash().begin() + at, sensor->GetFlash().begin() + at + size);
    return words;
  };
  const Bytes originalMag = magWords();

  // Loaded back, the offsets and the field's deviation matrix are the stored
  // ones, up to the words' truncation.
  store(blocks, 7);
  const auto stored = frame();
  const Eigen::Map<const Eigen::Matrix3d> deviation(blocks.magColumns);
  const Eigen::Vector3d field = deviation * (Eigen::Map<const Eigen::Vector3d>(before->magneticField) -
                                             Eigen::Map<const Eigen::Vector3d>(blocks.offsets + 6));
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(stored->acceleration[i], before->acceleration[i] - blocks.offsets[i], 1e-4) << i;
    EXPECT_NEAR(stored->angularRate[i], before->angularRate[i] - blocks.offsets[3 + i], 0.04) << i;
    EXPECT_NEAR(stored->magneticField[i], field[i], 2e-4) << i;
    EXPECT_NEAR(model->GetOffsets()[i], blocks.offsets[i], 2e-4) << "acceleration offset " << i;
    EXPECT_EQ(model->GetOffsets()[3 + i], 0.0) << "angular-rate offsets are not kept";
    EXPECT_NEAR(model->GetOffsets()[6 + i], blocks.offsets[6 + i], 2e-4) << "field offset " << i;
  }
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(model->GetMagMatrix()[i], blocks.magColumns[i], 2e-4) << i;

  // The second store keeps the first one's factory copy and backs up its result.
  const Bytes firstMag = magWords();
  const Bytes factoryCopy(sensor->GetFlash().begin() + 356, sensor->GetFlash().begin() + 384);
  Blocks second = blocks;
  for (double& v : second.magColumns) v *= 0.9;
  store(second, 4);
  EXPECT_TRUE(std::equal(factoryCopy.begin(), factoryCopy.end(), sensor->GetFlash().begin() + 356));
  EXPECT_TRUE(std::equal(originalMag.begin(), originalMag.end(), sensor->GetFlash().begin() + 358));
  EXPECT_TRUE(std::equal(firstMag.begin(), firstMag.end(), sensor->GetFlash().begin() + 330));
  EXPECT_EQ(TestFrames::U16At(sensor->GetFlash().data(), 328), ModelImages16::kValid);

  // Rolled back once, the first store is in place again; a second roll-back has
  // nothing left.
  restore(4, 0);
  EXPECT_EQ(magWords(), firstMag);
  Bytes image = sensor->GetFlash();
  EXPECT_THROW(model->RestoreCalibration(image, 4, 0), std::logic_error);
  EXPECT_EQ(image, sensor->GetFlash());

  // Restored to the factory state, frames are the first ones again, exactly;
  // the angular-rate biases have no copy to come back from.
  restore(5, 1);
  EXPECT_EQ(magWords(), originalMag);
  const auto factory = frame();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(factory->acceleration[i], before->acceleration[i]) << i;
    EXPECT_EQ(factory->angularRate[i], stored->angularRate[i]) << i;
    EXPECT_EQ(factory->magneticField[i], before->magneticField[i]) << i;
  }
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(model->GetOffsets()[i], 0.0) << i;
    EXPECT_NEAR(model->GetMagMatrix()[i], i % 4 == 0 ? 1.0 : 0.0, 1e-15) << i;
  }
}

}  // namespace
