// The sensor models' pipeline, switches, commands and calibration from the
// flash image, called as the manager calls them.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ModelImages.h"
#include "ModelImages16.h"
#include "ModelSensor.h"
#include "processing/SdkFrame.h"

namespace {

using namespace ModelImages;
using Processing::SensorRecord;
using Processing::QN::CDKv;
using SensorPtr = CDKv::SensorPtr;
using StagePtr = CDKv::StagePtr;

// Configures a model of the sensor and runs one frame of words through it.
std::unique_ptr<SensorRecord> RunFrame(CDKv& model, const std::vector<std::int16_t>& words,
                                       const boost::property_tree::ptree& configuration = {}) {
  model.Configure(configuration, nullptr);
  auto record = std::make_unique<SensorRecord>();
  const Bytes input = WordBytes(words);
  model.Process(input.data(), record.get());
  return record;
}

void ExpectRecord(const SensorRecord& record, const Expected& expected, const std::string& name) {
  constexpr double kTolerance = 1e-12;
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(record.uncalibrated[i], expected.uncalibrated[i], kTolerance) << name << ", uncalibrated " << i;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(record.acceleration[i], expected.acceleration[i], kTolerance) << name << ", acceleration " << i;
    EXPECT_NEAR(record.angularRate[i], expected.angularRate[i], kTolerance) << name << ", angular rate " << i;
    EXPECT_NEAR(record.magneticField[i], expected.magneticField[i], kTolerance) << name << ", magnetic field " << i;
  }
  EXPECT_NEAR(record.temperature, expected.temperature, kTolerance) << name << ", temperature";
}

// Expected values worked out independently from the calibration formulas
// (python3, plain floats) for the image and words of ModelImages.h.
TEST(SensorModel, CalibratesTheWorkedCases) {
  Calibration withFactory = Worked();
  withFactory.factoryAccBiases = Words3{-1006632, 2013265, 671088};
  std::vector<std::int16_t> coldWords = {-2500, 1800, -4000, -1200, 2600, -64, -700, 1500, -950, -3300};
  std::vector<std::int16_t> zeroTemperature = WorkedWords();
  zeroTemperature[9] = 0;

  const struct {
    const char* name;
    Generation generation;
    std::optional<Calibration> image;  // none: the sensor has no cached image
    std::vector<std::int16_t> words;
    Expected expected;
  } cases[] = {
      {"worked image", kDKv5, Worked(), WorkedWords(), kWorkedFrame},
      {"same under DKv6", kDKv6, Worked(), WorkedWords(), kWorkedFrame},
      {"same under DKv7", kDKv7, Worked(), WorkedWords(), kWorkedFrame},
      {"factory acceleration backup",
       kDKv5,
       withFactory,
       WorkedWords(),
       {{0.5859375, -0.390625, 1.025390625, 0.0732421875, -0.15625, 0.03759765625, 0.439453125, -0.2197265625,
         0.146484375},
        {-0.57345744941900223, 0.3288243756289877, -1.0367857403714551},
        {0.2711302987685677, -0.58000344307857821, 0.13487700876448402},
        {0.10692469252465557, -0.053394996941451632, 0.054039767552202106},
        27.34375}},
      {"w9 = 0: c0 only",
       kDKv5,
       Worked(),
       zeroTemperature,
       {{0.5859375, -0.390625, 1.025390625, 0.0732421875, -0.15625, 0.03759765625, 0.439453125, -0.2197265625,
         0.146484375},
        {-0.5752182632616778, 0.32782713380847628, -1.0384873776640766},
        {0.27882550010406776, -0.58480779421613138, 0.14295324453738706},
        {0.10485128158692721, -0.051454476806807453, 0.05310805302251094},
        0.0}},
      {"below zero",
       kDKv5,
       Worked(),
       coldWords,
       {{-1.220703125, 0.87890625, -1.953125, -0.5859375, 1.26953125, -0.03125, -0.341796875, 0.732421875,
         -0.4638671875},
        {1.2234525803745724, -0.80360276700198408, 2.0651499892989533},
        {-2.4411159894885923, 4.7899461765941656, -0.029996525168582255},
        {-0.23639236008623696, 0.39433880095027407, -0.31438059542238705},
        -12.890625}},
      // Scale factors and matrices 0: only the raw readings and temperature.
      {"no cached image",
       kDKv6,
       std::nullopt,
       WorkedWords(),
       {{0.5859375, -0.390625, 1.025390625, 0.0732421875, -0.15625, 0.03759765625, 0.439453125, -0.2197265625,
         0.146484375},
        {0, 0, 0},
        {0, 0, 0},
        {0, 0, 0},
        27.34375}},
  };
  for (const auto& c : cases) {
    const auto model = c.generation.make(RawSensor(c.generation.name, 3, c.image ? Image(*c.image) : Bytes{}), nullptr);
    ExpectRecord(*RunFrame(*model, c.words), c.expected, c.name);
  }
}

// The 16-bit generations, worked out independently in the same way for the
// image and words of ModelImages16.h: channel scales applied to the matrices,
// the upper thermal block above the reference temperature, the lower one at
// and below it, and the factory backups turned into deviation compensation.
TEST(SensorModel, CalibratesTheDKv3WorkedCases) {
  using ModelImages16::kWorkedFrame;
  using ModelImages16::WorkedWords;
  // The worked frame's readings with other values and temperature.
  using Triple = std::array<double, 3>;
  const auto worked = [](const Triple& acceleration, const Triple& angularRate, const Triple& field,
                         double temperature) {
    Expected expected = kWorkedFrame;
    std::copy(acceleration.begin(), acceleration.end(), expected.acceleration);
    std::copy(angularRate.begin(), angularRate.end(), expected.angularRate);
    std::copy(field.begin(), field.end(), expected.magneticField);
    expected.temperature = temperature;
    return expected;
  };
  const auto withTemperature = [](std::int16_t word) {
    std::vector<std::int16_t> words = WorkedWords();
    words[9] = word;
    return words;
  };
  const Triple atReferenceAcceleration{0.5038416981697083, -0.32746516168117523, 0.88410983979702};
  const Triple atReferenceAngularRate{34.59083288908005, -74.99429304152727, 17.210060730576515};
  const Triple atReferenceField{-0.2354426383972168, 0.11473913490772247, -0.09788486361503601};
  boost::property_tree::ptree noThermo;
  noThermo.put("disablethermo", "1");

  const struct {
    const char* name;
    Generation generation;
    std::optional<ModelImages16::Calibration> image;  // none: the sensor has no cached image
    std::vector<std::int16_t> words;
    boost::property_tree::ptree configuration;
    Expected expected;
  } cases[] = {
      {"above the reference: upper block", kDKv3, ModelImages16::Worked(), WorkedWords(), {}, kWorkedFrame},
      {"same under DKv4", kDKv4, ModelImages16::Worked(), WorkedWords(), {}, kWorkedFrame},
      {"at the reference: lower block, no effect", kDKv3, ModelImages16::Worked(), withTemperature(9830), {},
       worked(atReferenceAcceleration, atReferenceAngularRate, atReferenceField, 38.3984375)},
      {"below the reference: lower block", kDKv3, ModelImages16::Worked(), withTemperature(-3000), {},
       worked({0.5046867117968775, -0.3254717337568853, 0.8848393984748981},
              {33.35760467531082, -74.68550591981726, 16.937566662370067},
              {-0.2322887279475111, 0.1116051297142818, -0.09681707194428701}, -11.71875)},
      {"factory backups", kDKv3, ModelImages16::WorkedWithBackups(), WorkedWords(), {},
       ModelImages16::kWorkedFrameWithBackups},
      {"thermal correction off", kDKv3, ModelImages16::Worked(), WorkedWords(), noThermo,
       worked(atReferenceAcceleration, atReferenceAngularRate, atReferenceField, 54.6875)},
      // Identity matrices, zero biases: the words times 2^-15 and the unit factors.
      {"no cached image", kDKv4, std::nullopt, WorkedWords(), {},
       worked({0.5999755859375, -0.4000244140625, 1.04998779296875},
              {37.506103515625, -79.986572265625, 19.256591796875},
              {-0.45001220703125, 0.2249755859375, -0.1500244140625}, 54.6875)},
  };
  for (const auto& c : cases) {
    const auto model = c.generation.make(
        RawSensor(c.generation.name, 3, c.image ? ModelImages16::Image(*c.image) : Bytes{}), nullptr);
    ExpectRecord(*RunFrame(*model, c.words, c.configuration), c.expected, c.name);
  }
}

// The thermal blocks are read only while thermo is on: turned on later by a
// command, it has nothing to apply until the next load.
TEST(SensorModel, DKv3ThermalBlocksWaitForTheNextLoad) {
  const auto sensor = RawSensor("DKv3", 0, ModelImages16::Image(ModelImages16::Worked()));
  const auto model = kDKv3.make(sensor, nullptr);
  boost::property_tree::ptree noThermo;
  noThermo.put("disablethermo", "1");
  const auto before = RunFrame(*model, ModelImages16::WorkedWords(), noThermo);

  double zeros[32] = {};
  model->ExecuteCommand("set disablethermo", zeros, nullptr);
  auto record = std::make_unique<SensorRecord>();
  const Bytes input = ModelImages16::WordBytes(ModelImages16::WorkedWords());
  model->Process(input.data(), record.get());
  EXPECT_EQ(std::memcmp(record.get(), before.get(), sizeof(SensorRecord)), 0);

  const auto reloaded = RunFrame(*model, ModelImages16::WorkedWords());
  EXPECT_NEAR(reloaded->acceleration[0], ModelImages16::kWorkedFrame.acceleration[0], 1e-12)
      << "the next load reads the blocks";
}

// Loading turns the factory backups into deviation compensation and makes the
// image's factory field matrix that of the calibration the frames use.
TEST(SensorModel, DKv3FactoryBackupsBecomeTheDeviationCompensation) {
  const auto accOnly = [] {
    auto c = ModelImages16::WorkedWithBackups();
    c.factoryMag.reset();
    return c;
  };
  const auto magOnly = [] {
    auto c = ModelImages16::WorkedWithBackups();
    c.factoryAccBiases.reset();
    return c;
  };
  // In output units: the pre-conversion differences times 2 and -2.
  constexpr double kAccOffsets[3] = {2 * 0.06825614720582962, 2 * -0.07712342217564583, 2 * 0.0632053017616272};
  constexpr double kMagOffsets[3] = {-2 * 0.008289841935038567, -2 * 0.0008080154657363892,
                                     -2 * -0.00037243589758872986};
  constexpr double kMagDeviation[9] = {0.9952187879467972,    -0.001996447427121623, 0.0013168057498036262,
                                       0.013429103441282909,  1.0228660210310543,    -0.0006948122504724166,
                                       -0.0019234696716913316, 0.0006098570408076681, 1.0221712087805817};
  constexpr double kZeros[3] = {0, 0, 0};
  constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  // The current field matrix words (74 to 90) as the factory ones (366 to 382).
  const auto matrixCopied = [](Bytes& image) { std::copy_n(image.begin() + 74, 18, image.begin() + 366); };

  const struct {
    const char* name;
    Generation generation;
    Bytes image;
    const double* accOffsets;
    const double* magOffsets;
    const double* magColumns;  // deviation matrix, column by column
    void (*imageAfter)(Bytes& image);
  } cases[] = {
      {"no backup", kDKv3, ModelImages16::Image(ModelImages16::Worked()), kZeros, kZeros, kIdentity, matrixCopied},
      {"acceleration backup", kDKv4, ModelImages16::Image(accOnly()), kAccOffsets, kZeros, kIdentity, matrixCopied},
      {"field backup", kDKv3, ModelImages16::Image(magOnly()), kZeros, kMagOffsets, kMagDeviation, nullptr},
      {"both", kDKv4, ModelImages16::Image(ModelImages16::WorkedWithBackups()), kAccOffsets, kMagOffsets,
       kMagDeviation, nullptr},
      // A marker that is no backup: the words after it are not read, and all
      // but the matrix stay.
      {"field marker not valid", kDKv3,
       [] {
         Bytes image = ModelImages16::Image(ModelImages16::WorkedWithBackups());
         TestFrames::Put16(image, 356, 0x9696);
         return image;
       }(),
       kAccOffsets, kZeros, kIdentity, matrixCopied},
  };
  for (const auto& c : cases) {
    const auto sensor = RawSensor(c.generation.name, 0, c.image);
    const auto model = c.generation.make(sensor, nullptr);
    LogCapture log;
    model->Configure({}, nullptr);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(model->GetOffsets()[i], c.accOffsets[i], 1e-15) << c.name << ", acceleration offset " << i;
      EXPECT_EQ(model->GetOffsets()[3 + i], 0.0) << c.name;
      EXPECT_NEAR(model->GetOffsets()[6 + i], c.magOffsets[i], 1e-15) << c.name << ", field offset " << i;
    }
    for (int i = 0; i < 9; ++i) {
      EXPECT_NEAR(model->GetMagMatrix()[i], c.magColumns[i], 1e-15) << c.name << ", field deviation " << i;
      EXPECT_EQ(model->GetAccMatrix()[i], kIdentity[i]) << c.name;
      EXPECT_EQ(model->GetGyrMatrix()[i], kIdentity[i]) << c.name;
    }
    Bytes expected = c.image;
    if (c.imageAfter) c.imageAfter(expected);
    EXPECT_EQ(sensor->GetFlash(), expected) << c.name;
    EXPECT_EQ(log.Count("<error>"), 0u) << c.name;
  }
}

// A factory field matrix without an inverse (an erased image, a zero scale
// word) gives no deviation matrix for that load: the frames stay finite.
TEST(SensorModel, DKv3WithASingularFactoryFieldMatrixKeepsTheIdentityDeviation) {
  auto zeroScale = ModelImages16::WorkedWithBackups();
  zeroScale.factoryMag->scale = 0;
  const struct {
    const char* name;
    Bytes image;
    double magneticField[3];  // of the worked words
  } cases[] = {
      {"erased image", Bytes(512, 0), {0, 0, 0}},
      // The field the frames carry comes from the upper thermal block alone.
      {"factory scale word 0", ModelImages16::Image(zeroScale),
       {-0.0002967893350020595, -0.00013065252352725126, -5.340409228036386e-05}},
  };
  for (const auto& c : cases) {
    const auto model = kDKv3.make(RawSensor("DKv3", 0, c.image), nullptr);
    LogCapture log;
    const auto record = RunFrame(*model, ModelImages16::WorkedWords());
    EXPECT_EQ(log.Count("<error> factory magnetic-field matrix is singular: no magnetic-field deviation in this "
                        "calibration"),
              1u)
        << c.name;
    for (int i = 0; i < 9; ++i) EXPECT_EQ(model->GetMagMatrix()[i], i % 4 == 0 ? 1.0 : 0.0) << c.name << " " << i;
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(std::isfinite(record->acceleration[i])) << c.name << ", acceleration " << i;
      EXPECT_NEAR(record->magneticField[i], c.magneticField[i], 1e-12) << c.name << ", field " << i;
    }
  }
}

TEST(SensorModel, SkipsThermalEntriesWithoutASlotAndSaysWhich) {
  Calibration outOfTable = Worked();
  outOfTable.thermal[0].index = 18;
  outOfTable.thermal[6].index = 0xFFFF;
  // What the same table gives when those two entries add nothing: no other
  // entry names their slots 3 and 2.
  Calibration withoutThem = Worked();
  withoutThem.thermal[0] = {3, 0, 0, 0};
  withoutThem.thermal[6] = {2, 0, 0, 0};

  LogCapture log;
  const auto skipped = RunFrame(*kDKv5.make(RawSensor("DKv5", 0, Image(outOfTable)), nullptr), WorkedWords());
  EXPECT_EQ(log.Count("<warning> thermal table entries with no slot skipped: 0 (index 18), 6 (index 65535)"), 1u);
  const auto reference = RunFrame(*kDKv5.make(RawSensor("DKv5", 0, Image(withoutThem)), nullptr), WorkedWords());
  EXPECT_EQ(std::memcmp(skipped.get(), reference.get(), sizeof(SensorRecord)), 0);
  EXPECT_NE(skipped->angularRate[0], kWorkedFrame.angularRate[0]) << "slot 3 kept the skipped entry's coefficients";
}

// An image too short for the calibration area is no calibration: the model
// keeps its defaults, as with no image at all, says so and leaves the image
// alone (a DKv3 load would otherwise write past its end).
TEST(SensorModel, KeepsTheDefaultsForAShortImage) {
  const struct {
    Generation generation;
    Bytes whole;
    std::vector<std::int16_t> words;
    const char* log;
  } cases[] = {
      {kDKv5, Image(Worked()), WorkedWords(),
       "<error> calibration not loaded: the flash image holds 1071 bytes, it needs 1072"},
      {kDKv3, ModelImages16::Image(ModelImages16::WorkedWithBackups()), ModelImages16::WorkedWords(),
       "<error> calibration not loaded: the flash image holds 399 bytes, it needs 400"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.generation.name);
    const auto sensor = RawSensor(c.generation.name, 2, c.whole);
    const auto model = c.generation.make(sensor, nullptr);
    const auto whole = RunFrame(*model, c.words);
    ASSERT_NE(model->GetOffsets()[6], 0.0) << "the whole image is no calibration to lose";
    const auto imageless = RunFrame(*c.generation.make(RawSensor(c.generation.name, 2, {}), nullptr), c.words);
    ASSERT_NE(std::memcmp(whole.get(), imageless.get(), sizeof(SensorRecord)), 0);

    Bytes image = c.whole;
    image.resize(image.size() == 2048 ? 1071 : 399);
    LogCapture log;
    sensor->SetFlash(image);
    const auto record = RunFrame(*model, c.words);
    EXPECT_EQ(log.Count(c.log), 1u);
    EXPECT_EQ(std::memcmp(record.get(), imageless.get(), sizeof(SensorRecord)), 0);
    EXPECT_EQ(sensor->GetFlash(), image);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(model->GetOffsets()[i], 0.0) << i;
      EXPECT_EQ(model->GetMagMatrix()[i], i % 4 == 0 ? 1.0 : 0.0) << i;
    }
  }
}

// The deviation blocks apply as matrix x (value - offsets) in output units,
// matrices column by column: with no image every calibrated value is 0, so a
// triple comes out as -(matrix x offsets), whatever its unit factor.
TEST(SensorModel, SettersTakeMatricesColumnByColumnAndGettersShowThemInPlace) {
  const auto model = kDKv5.make(RawSensor("DKv5", 0, {}), nullptr);
  const double* accMatrix = model->GetAccMatrix();
  const double offsets[9] = {1, 2, 3, 0, 0, 1, -1, 0, 0};
  const double columns[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};  // rows (1 4 7) (2 5 8) (3 6 9)
  model->SetOffsets(offsets);
  model->SetAccMatrix(columns);
  model->SetGyrMatrix(columns);
  model->SetMagMatrix(columns);
  EXPECT_EQ(accMatrix[3], 4.0);
  EXPECT_EQ(model->GetOffsets()[2], 3.0);

  auto record = std::make_unique<SensorRecord>();
  const Bytes input = WordBytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  model->Process(input.data(), record.get());
  const double acceleration[3] = {-30, -36, -42};  // -(M (1, 2, 3))
  const double angularRate[3] = {-7, -8, -9};       // -(M (0, 0, 1))
  const double magneticField[3] = {1, 2, 3};        // -(M (-1, 0, 0))
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(record->acceleration[i], acceleration[i]) << i;
    EXPECT_EQ(record->angularRate[i], angularRate[i]) << i;
    EXPECT_EQ(record->magneticField[i], magneticField[i]) << i;
  }

  model->ResetParameterBlocks();
  EXPECT_EQ(model->GetOffsets()[0], 0.0);
  EXPECT_EQ(accMatrix[3], 0.0);
  EXPECT_EQ(accMatrix[4], 1.0);
}

// A generation that completes the image as it loads it (DKv3 writes its
// factory backup words so): the sensor's cached image shows the change.
TEST(SensorModel, ConfigureKeepsWhatALoadWroteIntoTheImage) {
  class CompletingModel : public CDKv {
   public:
    using CDKv::CDKv;
    bool LoadCalibration(Bytes& image) override {
      ++loads;
      image[3] = 0x42;
      return true;
    }
    int loads = 0;
  };
  const auto sensor = RawSensor("DKv5", 0, Bytes(8, 0));
  CompletingModel model(sensor, nullptr);
  model.Configure({}, nullptr);
  EXPECT_EQ(model.loads, 1);
  EXPECT_EQ(sensor->GetFlash(), (Bytes{0, 0, 0, 0x42, 0, 0, 0, 0}));

  const auto empty = RawSensor("DKv5", 0, {});
  CompletingModel unloaded(empty, nullptr);
  unloaded.Configure({}, nullptr);
  EXPECT_EQ(unloaded.loads, 0) << "loaded an empty image";
  EXPECT_TRUE(empty->GetFlash().empty());
}

// Records which pipeline steps a frame runs, in order: P prepare, T thermal,
// C calibration, D deviation compensation, U unit conversion.
class StepSpy : public CDKv {
 public:
  using CDKv::CDKv;
  bool PrepareCalibration(const std::uint8_t*, SensorRecord&) override { return Step('P'); }
  bool CompensateTemperature(const std::uint8_t*, SensorRecord&) override { return Step('T'); }
  bool ApplyCalibration(const std::uint8_t*, SensorRecord&) override { return Step('C'); }
  bool ApplyDeviationCompensation(const std::uint8_t*, SensorRecord&) override { return Step('D'); }
  void ConvertUnits(SensorRecord&) override { Step('U'); }

  std::string Frame() {
    steps_.clear();
    SensorRecord record{};
    const Bytes words(20, 0);
    Process(words.data(), &record);
    return steps_;
  }

 private:
  bool Step(char step) {
    steps_ += step;
    return true;
  }
  std::string steps_;
};

// One host action: a Configure with these key=value pairs, or a command whose
// input holds value at the model's position and its opposite elsewhere.
struct Action {
  std::vector<std::pair<std::string, std::string>> configuration;
  std::string command;
  double value = 0;
};
Action Configured(std::vector<std::pair<std::string, std::string>> pairs) { return {std::move(pairs), "", 0}; }
Action Set(std::string command, double value) { return {{}, std::move(command), value}; }

TEST(SensorModel, SwitchesTurnOffExactlyTheirSteps) {
  constexpr int kPosition = 5;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* name;
    std::vector<Action> actions;
    const char* steps;
  } cases[] = {
      {"nothing disabled", {Configured({})}, "PTCDU"},
      {"key disablethermo 1", {Configured({{"disablethermo", "1"}})}, "PCDU"},
      {"key disablethermo true", {Configured({{"disablethermo", "true"}})}, "PCDU"},
      {"key disablecompensation true", {Configured({{"disablecompensation", "true"}})}, "PTCU"},
      {"key disablecalibration 1", {Configured({{"disablecalibration", "1"}})}, "PU"},
      {"key disablecalibration true wins over disablethermo 0",
       {Configured({{"disablecalibration", "true"}, {"disablethermo", "0"}})}, "PU"},
      {"key disablecalibration 0", {Configured({{"disablecalibration", "0"}})}, "PTCDU"},
      {"unreadable value", {Configured({{"disablethermo", "yes"}})}, "PTCDU"},
      {"keys are case-sensitive", {Configured({{"DisableThermo", "1"}})}, "PTCDU"},
      {"set disablethermo 1", {Set("set disablethermo", 1)}, "PCDU"},
      {"set disablethermo 1 then 0", {Set("set disablethermo", 1), Set("set disablethermo", 0)}, "PTCDU"},
      {"set disablethermo -0", {Set("set disablethermo", -0.0)}, "PTCDU"},
      {"set disablethermo NaN", {Set("set disablethermo", nan)}, "PCDU"},
      {"set disablecompensation 2.5", {Set("set disablecompensation", 2.5)}, "PTCU"},
      {"set disablecalibration 1", {Set("set disablecalibration", 1)}, "PU"},
      {"set disablecalibration 1 then 0 gives calibration only",
       {Set("set disablecalibration", 1), Set("set disablecalibration", 0)}, "PCU"},
      {"set disablecalibration 0", {Set("set disablecalibration", 0)}, "PTCDU"},
      {"name broken by blanks and tabs", {Set("set dis able\tther mo", 1)}, "PCDU"},
      {"unknown name", {Set("set kpini", 1)}, "PTCDU"},
      {"no blank after set", {Set("setdisablethermo", 1)}, "PTCDU"},
      {"Configure overrides earlier commands",
       {Set("set disablecalibration", 1), Configured({{"disablecompensation", "1"}})}, "PTCU"},
      {"commands override Configure",
       {Configured({{"disablethermo", "1"}}), Set("set disablethermo", 0)}, "PTCDU"},
  };
  for (const auto& c : cases) {
    StepSpy model(RawSensor("DKv5", kPosition, {}), nullptr);
    for (const auto& action : c.actions) {
      if (action.command.empty()) {
        boost::property_tree::ptree configuration;
        for (const auto& [key, value] : action.configuration) configuration.put(key, value);
        model.Configure(configuration, nullptr);
        continue;
      }
      double input[32];
      for (double& v : input) v = action.value == 0.0 ? 1.0 : 0.0;
      input[kPosition] = action.value;
      model.ExecuteCommand(action.command, input, nullptr);
    }
    EXPECT_EQ(model.Frame(), c.steps) << c.name;
  }
}

TEST(SensorModel, SetCommandWithoutInputOrOutsideThePositionsChangesNothing) {
  double ones[32];
  for (double& v : ones) v = 1.0;
  const struct {
    const char* name;
    int position;
    void* input;
  } cases[] = {{"null input", 5, nullptr}, {"position 32", 32, ones}, {"position -1", -1, ones}, {"position 40", 40, ones}};
  for (const auto& c : cases) {
    StepSpy model(RawSensor("DKv5", c.position, {}), nullptr);
    for (const char* command : {"set disablecalibration", "set disablethermo", "set disablecompensation"})
      EXPECT_TRUE(model.ExecuteCommand(command, c.input, nullptr)) << c.name;
    EXPECT_EQ(model.Frame(), "PTCDU") << c.name;
  }
}

// The attitude correction that follows a model, as far as the model can see it.
class RecordingStage : public Processing::CProcessing {
 public:
  RecordingStage() : CProcessing(nullptr) {}

  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override {
    configured.push_back({&configuration, mode});
    return result;
  }
  bool ExecuteCommand(const std::string& command, void* input, void* output) override {
    Command seen{command, input, output, {}};
    if (input && command.compare(0, 4, "set ") == 0) seen.values.assign(static_cast<double*>(input), static_cast<double*>(input) + 32);
    commands.push_back(seen);
    return result;
  }
  bool Process(const void* input, void* output) override {
    processed.push_back({input, output});
    return result;
  }

  struct Command {
    std::string text;
    void* input;
    void* output;
    std::vector<double> values;
  };
  std::vector<std::pair<const boost::property_tree::ptree*, const int*>> configured;
  std::vector<Command> commands;
  std::vector<std::pair<const void*, void*>> processed;
  bool result = false;  // so that passing it on shows
};

TEST(SensorModel, HandsTheNextStageItsThresholdsConfigurationCommandsAndFrames) {
  // The motion-detector thresholds each model sends at construction, in order:
  // the field's, then the angular rate's. DKv4 is built as DKv3 first.
  const struct {
    Generation generation;
    std::vector<double> thresholds;
    std::vector<std::int16_t> words;
  } cases[] = {
      {kDKv3, {0.002, 0.01}, ModelImages16::WorkedWords()},
      {kDKv4, {0.002, 0.01, 0.02, 0.05}, ModelImages16::WorkedWords()},
      {kDKv5, {0.02, 0.05}, WorkedWords()},
      {kDKv6, {0.02, 0.05}, WorkedWords()},
      {kDKv7, {0.02, 0.05}, WorkedWords()},
  };
  for (const auto& c : cases) {
    const Generation& generation = c.generation;
    SCOPED_TRACE(generation.name);
    const auto next = std::make_shared<RecordingStage>();
    const auto model = generation.make(RawSensor(generation.name, 4, {}), next);
    ASSERT_EQ(next->commands.size(), c.thresholds.size());
    for (std::size_t i = 0; i < c.thresholds.size(); ++i) {
      EXPECT_EQ(next->commands[i].text, i % 2 == 0 ? "set magthreshformotiondetect" : "set gyrthreshformotiondetect");
      EXPECT_EQ(next->commands[i].values, std::vector<double>(32, c.thresholds[i])) << i;
      EXPECT_EQ(next->commands[i].output, nullptr) << i;
    }
    EXPECT_TRUE(next->configured.empty());
    next->commands.clear();

    const boost::property_tree::ptree configuration;
    const int mode = 2;
    EXPECT_FALSE(model->Configure(configuration, &mode));
    ASSERT_EQ(next->configured.size(), 1u);
    EXPECT_EQ(next->configured[0].first, &configuration);
    EXPECT_EQ(next->configured[0].second, &mode);

    double input[32] = {};
    double output[32] = {};
    EXPECT_FALSE(model->ExecuteCommand("get kpini", input, output));
    ASSERT_EQ(next->commands.size(), 1u);
    EXPECT_EQ(next->commands[0].text, "get kpini");
    EXPECT_EQ(next->commands[0].input, input);
    EXPECT_EQ(next->commands[0].output, output);
    EXPECT_TRUE(model->ExecuteCommand("set kpini", input, nullptr));
    EXPECT_TRUE(model->ExecuteCommand("set disablethermo", input, nullptr));
    EXPECT_EQ(next->commands.size(), 1u) << "a set command went on";

    auto record = std::make_unique<SensorRecord>();
    const Bytes words = WordBytes(c.words);
    EXPECT_FALSE(model->Process(words.data(), record.get()));
    ASSERT_EQ(next->processed.size(), 1u);
    EXPECT_EQ(next->processed[0].first, words.data());
    EXPECT_EQ(next->processed[0].second, record.get());
    EXPECT_EQ(record->temperature, c.words[9] / 256.0) << "the record went on before it was filled";
  }
}

TEST(SensorModel, QuaternionAndCalibratedStageDecodesAndLeavesTheNextStageAlone) {
  const auto next = std::make_shared<RecordingStage>();
  const auto model = kDKv7QCT.make(RawSensor("DKv6", 0, Image(Worked())), next);
  EXPECT_TRUE(next->commands.empty());
  EXPECT_TRUE(model->Configure({}, nullptr));
  EXPECT_TRUE(next->configured.empty());

  auto record = std::make_unique<SensorRecord>();
  const Bytes words = WordBytes({16384, 0, 8192, 0, 2048, -1024, 0, 0, 0, 4096, 1024, 0, -512, 6400});
  EXPECT_TRUE(model->Process(words.data(), record.get()));
  EXPECT_TRUE(next->processed.empty());
  EXPECT_EQ(record->quaternion[1], 0.25);
  EXPECT_EQ(record->quaternion[3], 0.5);
  EXPECT_EQ(record->acceleration[0], 1.0);
  EXPECT_EQ(record->magneticField[2], 2.0);
  EXPECT_EQ(record->angularRate[2], -0.5);
  EXPECT_EQ(record->temperature, 25.0);
  EXPECT_EQ(record->uncalibrated[0], 0.0);

  EXPECT_FALSE(model->ExecuteCommand("get kpini", nullptr, nullptr)) << "not the next stage's answer";
  EXPECT_EQ(next->commands.size(), 1u);
}

// The attitude stages may be missing: a model then ends the chain.
TEST(SensorModel, WorksWithoutANextStage) {
  for (const Generation& generation : {kDKv3, kDKv4, kDKv5, kDKv6, kDKv7, kDKv7QCT}) {
    const auto model = generation.make(RawSensor("DKv6", 1, Image(Worked())), nullptr);
    EXPECT_TRUE(model->Configure({}, nullptr)) << generation.name;
    EXPECT_FALSE(model->ExecuteCommand("get kpini", nullptr, nullptr)) << generation.name;
    double values[32] = {};
    EXPECT_TRUE(model->ExecuteCommand("set disablethermo", values, nullptr)) << generation.name;
    auto record = std::make_unique<SensorRecord>();
    const Bytes words = WordBytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    EXPECT_TRUE(model->Process(words.data(), record.get())) << generation.name;
  }
}

}  // namespace
