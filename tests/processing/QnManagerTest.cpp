#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ModelImages.h"
#include "TestFrames.h"
#include "TestHub.h"
#include "communication/qn/Hub.h"
#include "processing/SdkFrame.h"
#include "processing/attitude/MekfCorrectionWrapper.h"
#include "processing/attitude/PICorrection.h"
#include "processing/decoders/EndPoints.h"
#include "processing/manager/QnManager.h"
#include "processing/model/DKv3.h"
#include "processing/model/DKv4.h"
#include "processing/model/DKv5.h"
#include "processing/model/DKv6.h"
#include "processing/model/DKv7.h"
#include "processing/model/DKv5QCT.h"
#include "processing/model/DKv7QCT.h"

namespace {

using namespace TestFrames;
using Processing::SdkFrame;
using Processing::Manager::QN::CManager;

constexpr double k15 = 1.0 / 32768;

std::shared_ptr<CManager> ConfiguredManager(const std::shared_ptr<TestHub>& hub) {
  auto manager = std::make_shared<CManager>(hub, boost::property_tree::ptree{});
  EXPECT_TRUE(manager->Configure(boost::property_tree::ptree{}, nullptr));
  return manager;
}

// The quaternion words of the sensor at a position, all different.
std::vector<std::int16_t> QuatWords(int position) {
  return {static_cast<std::int16_t>(1000 + position), static_cast<std::int16_t>(2000 + position),
          static_cast<std::int16_t>(-3000 - position), static_cast<std::int16_t>(4000 + position),
          static_cast<std::int16_t>(5 + position)};
}

void ExpectQuat(const void* frame, int position, const char* where) {
  const auto at = Record(static_cast<std::size_t>(position)) + 160;
  EXPECT_EQ(DoubleAt(frame, at), (2000 + position) * k15) << where << ", position " << position << ": x";
  EXPECT_EQ(DoubleAt(frame, at + 8), (-3000 - position) * k15) << where << ", position " << position << ": y";
  EXPECT_EQ(DoubleAt(frame, at + 16), (4000 + position) * k15) << where << ", position " << position << ": z";
  EXPECT_EQ(DoubleAt(frame, at + 24), (1000 + position) * k15) << where << ", position " << position << ": w";
  EXPECT_EQ(DoubleAt(frame, at + 32), (5 + position) * k15) << where << ", position " << position << ": further";
}

TEST(HubManager, FillsHeaderAndEachQuatSensorsBlockByPosition) {
  const std::vector<int> positions = {0, 19, 31};
  auto hub = std::make_shared<TestHub>();
  for (const int p : positions) hub->Add("DKv3 Mar  5 2016", 1, 14 + 10 * p, 10, p);
  const auto manager = ConfiguredManager(hub);

  const std::uint32_t mask = (1u << 0) | (1u << 19) | (1u << 31);
  auto raw = DataFrame(0xBEEF, 12115, mask, 320);
  for (const int p : positions) PutWords(raw, 14 + 10 * p, QuatWords(p));
  Seal(raw);

  auto frame = std::make_unique<SdkFrame>();
  ASSERT_TRUE(manager->Process(raw.data(), frame.get()));

  EXPECT_EQ(U16At(frame.get(), 0), 0xBEEF);
  EXPECT_EQ(U16At(frame.get(), 2), 12115);
  EXPECT_EQ(U32At(frame.get(), 4), mask);
  EXPECT_EQ(DoubleAt(frame.get(), 8), (12115 / 1986.0 - 6.1) * 100 / 2.3);
  for (std::size_t k = 0; k < 32; ++k) {
    if (k == 0 || k == 19 || k == 31) {
      ExpectQuat(frame.get(), static_cast<int>(k), "separate buffers");
      EXPECT_TRUE(AllZero(frame.get(), Record(k), 160)) << k;
      EXPECT_TRUE(AllZero(frame.get(), Record(k) + 200, 312)) << k;
    } else {
      EXPECT_TRUE(AllZero(frame.get(), Record(k), 512)) << "block " << k << " has no sensor";
    }
  }
}

TEST(HubManager, HeaderDoubleFollowsTheRawHubWord) {
  const struct {
    std::uint16_t rawWord;
    double value;
    double tolerance;
  } cases[] = {{12115, 0.0088, 1e-4}, {0, -265.217, 1e-3}, {65535, 1169.4995, 1e-3}};
  auto hub = std::make_shared<TestHub>();
  hub->Add("DKv3", 1, 14, 10, 0);
  const auto manager = ConfiguredManager(hub);
  for (const auto& c : cases) {
    auto raw = DataFrame(1, c.rawWord, 1, 10);
    Seal(raw);
    auto frame = std::make_unique<SdkFrame>();
    ASSERT_TRUE(manager->Process(raw.data(), frame.get()));
    EXPECT_NEAR(DoubleAt(frame.get(), 8), c.value, c.tolerance) << c.rawWord;
    EXPECT_EQ(U16At(frame.get(), 2), c.rawWord);
  }
}

// Every case: a good quat sensor at position 0 and one bad sensor beside it, in
// a frame of exactly 14 + 20 + 2 bytes (so that ASan sees any read beyond it).
TEST(HubManager, SkipsAndLogsOnceASensorItCannotServeAndFillsTheOthers) {
  const struct {
    const char* name;
    std::string identity;
    int dataType, offset, size, position;
    std::string log;
  } cases[] = {
      {"type the generation lacks", "DKv4 Jan 1 2015", 1, 24, 10, 5, "<error> Unknown configuration for \"DKv4 Jan 1 2015\""},
      {"unknown generation", "Tracker v2", 1, 24, 10, 5, "<error> Unknown configuration for \"Tracker v2\""},
      {"generation is case-sensitive", "dkv3", 1, 24, 10, 5, "<error> Unknown configuration for \"dkv3\""},
      {"unknown data type", "DKv3", 0x7FFFFFFF, 24, 10, 5, "<error> Unknown configuration for \"DKv3\""},
      {"position 32", "DKv3", 1, 24, 10, 32, "<error> sensor \"DKv3\" at position 32 is outside 0 to 31: skipped"},
      {"position -1", "DKv3", 1, 24, 10, -1, "<error> sensor \"DKv3\" at position -1 is outside 0 to 31: skipped"},
      {"block past the frame's end", "DKv3", 1, 30, 10, 5,
       "<error> sensor \"DKv3\" reads 10 bytes at offset 30, outside the frame of 36 bytes: skipped"},
      {"block over the header", "DKv3", 1, 10, 10, 5,
       "<error> sensor \"DKv3\" reads 10 bytes at offset 10, outside the frame of 36 bytes: skipped"},
      {"negative offset", "DKv3", 1, -100, 10, 5,
       "<error> sensor \"DKv3\" reads 10 bytes at offset -100, outside the frame of 36 bytes: skipped"},
      {"decoder reads more than the frame holds", "DKv3", 3, 24, 10, 5,
       "<error> sensor \"DKv3\" reads 30 bytes at offset 24, outside the frame of 36 bytes: skipped"},
      {"declared block larger than the frame", "ExtV", 1, 24, 200, 5,
       "<error> sensor \"ExtV\" reads 200 bytes at offset 24, outside the frame of 36 bytes: skipped"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    auto hub = std::make_shared<TestHub>();
    hub->Add("DKv3", 1, 14, 10, 0).Add(c.identity, c.dataType, c.offset, c.size, c.position);
    const auto manager = ConfiguredManager(hub);

    auto raw = DataFrame(7, 0, 0x21, 20);
    PutWords(raw, 14, QuatWords(0));
    PutWords(raw, 24, {11, 12, 13, 14, 15});
    Seal(raw);
    for (int frameNumber = 0; frameNumber < 2; ++frameNumber) {
      auto frame = std::make_unique<SdkFrame>();
      ASSERT_TRUE(manager->Process(raw.data(), frame.get())) << c.name;
      ExpectQuat(frame.get(), 0, c.name);
      for (std::size_t k = 1; k < 32; ++k) EXPECT_TRUE(AllZero(frame.get(), Record(k), 512)) << c.name << ", block " << k;
    }
    EXPECT_EQ(log.Count(c.log.substr(8)), 1u) << c.name;
    EXPECT_TRUE(log.Contains(c.log)) << c.name;
  }
}

TEST(HubManager, HandsNothingOnForFramesItCannotUse) {
  auto hub = std::make_shared<TestHub>();
  hub->Add("DKv3", 1, 14, 10, 0);

  {
    SCOPED_TRACE("before configuration");
    CManager manager(hub, {});
    auto raw = DataFrame(3, 5, 1, 10);
    Seal(raw);
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_FALSE(manager.Process(raw.data(), frame.get()));
    EXPECT_TRUE(AllZero(frame.get(), 0, sizeof(SdkFrame)));
  }
  {
    SCOPED_TRACE("no sensor present");
    const auto manager = ConfiguredManager(hub);
    auto raw = DataFrame(3, 5, 0, 10);
    PutWords(raw, 14, QuatWords(0));
    Seal(raw);
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_FALSE(manager->Process(raw.data(), frame.get()));
    EXPECT_EQ(U16At(frame.get(), 0), 3);
    EXPECT_TRUE(AllZero(frame.get(), 16, sizeof(SdkFrame) - 16));
  }
  const struct {
    const char* name;
    std::size_t bufferBytes;
    std::uint16_t lengthWord;
  } notDataFrames[] = {{"a plain reply", 10, 10}, {"shorter than a header", 14, 14}, {"longer than any frame", 16, 16385}};
  for (const auto& c : notDataFrames) {
    LogCapture log;
    const auto manager = ConfiguredManager(hub);
    Bytes raw(c.bufferBytes, 0xFF);
    Put16(raw, 2, c.lengthWord);
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_FALSE(manager->Process(raw.data(), frame.get())) << c.name;
    EXPECT_FALSE(manager->Process(raw.data(), frame.get())) << c.name;
    EXPECT_TRUE(AllZero(frame.get(), 0, sizeof(SdkFrame))) << c.name;
    EXPECT_EQ(log.Count("bytes is no data frame"), 1u) << c.name;
  }
}

// The emulator's host hands one buffer as raw frame and output frame.
TEST(HubManager, GivesTheSameValuesWhenInputAndOutputShareABuffer) {
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < 20; ++p) hub->Add("DKv3", 1, 14 + 10 * p, 10, p);
  const auto manager = ConfiguredManager(hub);
  auto raw = DataFrame(0x1234, 12115, 0xFFFFF, 200);
  for (int p = 0; p < 20; ++p) PutWords(raw, 14 + 10 * p, QuatWords(p));
  Seal(raw);

  const struct {
    const char* name;
    std::size_t outputShift;  // from an aligned address
    std::size_t inputShift;   // from the output
  } cases[] = {{"one buffer", 0, 0}, {"one buffer at an odd address", 1, 0}, {"frame inside the output", 0, 40}};
  for (const auto& c : cases) {
    auto storage = std::make_unique<SdkFrame[]>(2);
    auto* output = reinterpret_cast<std::uint8_t*>(storage.get()) + c.outputShift;
    auto* input = output + c.inputShift;
    std::memcpy(input, raw.data(), raw.size());
    ASSERT_TRUE(manager->Process(input, output)) << c.name;
    EXPECT_EQ(U16At(output, 0), 0x1234) << c.name;
    EXPECT_EQ(U16At(output, 2), 12115) << c.name;
    EXPECT_EQ(U32At(output, 4), 0xFFFFFu) << c.name;
    EXPECT_EQ(DoubleAt(output, 8), (12115 / 1986.0 - 6.1) * 100 / 2.3) << c.name;
    for (int p = 0; p < 20; ++p) ExpectQuat(output, p, c.name);
  }
}

TEST(HubManager, RoutesDcCommandsToTheCollectorAndBroadcastsTheRest) {
  auto hub = std::make_shared<TestHub>();
  hub->Add("QN DKv5", 0, 14, 20, 0);
  const auto manager = ConfiguredManager(hub);
  LogCapture log;
  // The collector gets the normalised text after "dc ": it records a batch,
  // clears it, and reads the compensation's name after "calculate ".
  const std::vector<Processing::SdkFrame> frames(3);
  std::uint8_t add[12];
  const std::uint32_t count = 3;
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(frames.data()));
  std::memcpy(add, &count, 4);
  std::memcpy(add + 4, &address, 8);
  std::uint32_t mask = 1, output = 0xA5A5A5A5;
  EXPECT_TRUE(manager->ExecuteCommand("Dc\nADD", add, nullptr));
  EXPECT_TRUE(manager->ExecuteCommand("DC\tClear", nullptr, nullptr));
  EXPECT_TRUE(manager->ExecuteCommand("DC\tCalculate\tGYR", &mask, &output));
  EXPECT_EQ(output, 0u);
  EXPECT_EQ(log.Count("<dc> sensor 0: too little data collected"), 1u);
  EXPECT_FALSE(manager->ExecuteCommand("dc calculate xyz", &mask, &output));

  // Without the blank they are no "dc " commands.
  EXPECT_TRUE(manager->ExecuteCommand("DCclear", nullptr, nullptr));
  EXPECT_TRUE(manager->ExecuteCommand("dc", nullptr, nullptr));
  double values[32] = {};
  EXPECT_TRUE(manager->ExecuteCommand("set gyrthreshformotiondetect", values, nullptr));
  EXPECT_EQ(log.Count("<dc>"), 2u);
}

// A raw-data sensor's model fills the block of its position, and "set "
// commands reach it with their array read at that position.
TEST(HubManager, RunsEachRawSensorsModelIntoItsBlock) {
  auto hub = std::make_shared<TestHub>();
  hub->Add("DKv3", 1, 14, 10, 0).Add("QN DKv7 Jun 1 2020", 0, 24, 20, 7, ModelImages::Image(ModelImages::Worked()));
  const auto manager = ConfiguredManager(hub);
  auto raw = DataFrame(9, 0, (1u << 0) | (1u << 7), 30);
  PutWords(raw, 14, QuatWords(0));
  PutWords(raw, 24, ModelImages::WorkedWords());
  Seal(raw);

  const auto frameAfter = [&](double valueAtSeven) {
    double values[32];
    for (double& v : values) v = 1.0 - valueAtSeven;
    values[7] = valueAtSeven;
    EXPECT_TRUE(manager->ExecuteCommand("SET disable\tcalibration", values, nullptr));
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_TRUE(manager->Process(raw.data(), frame.get()));
    return frame;
  };
  const auto calibrated = frameAfter(0.0);
  ExpectQuat(calibrated.get(), 0, "beside the model");
  const auto& expected = ModelImages::kWorkedFrame;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(DoubleAt(calibrated.get(), Record(7) + 80 + 8 * i), expected.acceleration[i], 1e-12) << i;
    EXPECT_NEAR(DoubleAt(calibrated.get(), Record(7) + 128 + 8 * i), expected.magneticField[i], 1e-12) << i;
  }
  for (std::size_t k = 1; k < 32; ++k) {
    EXPECT_TRUE(k == 7 || AllZero(calibrated.get(), Record(k), 512)) << "block " << k;
  }

  const auto uncalibrated = frameAfter(1.0);
  for (std::size_t at = 0; at <= 152; at += 8)
    EXPECT_EQ(DoubleAt(uncalibrated.get(), Record(7) + at), 0.0) << "calibration still on: record byte " << at;
}

// "get" reaches the attitude correction behind each raw sensor's model and
// fills the sensor's own element; "set" stops at the model.
TEST(HubManager, ReachesThePICorrectionBehindEachModelWithGetOnly) {
  auto hub = std::make_shared<TestHub>();
  for (const int p : {3, 7})
    hub->Add("QN DKv6 Mar 12 2019", 0, 14 + 20 * p, 20, p, ModelImages::Image(ModelImages::Worked()));
  const auto manager = ConfiguredManager(hub);
  const auto get = [&](const char* command) {
    std::array<double, 32> output;
    output.fill(-1);
    EXPECT_TRUE(manager->ExecuteCommand(command, nullptr, output.data()));
    return output;
  };
  std::array<double, 32> expected;
  expected.fill(-1);
  expected[3] = expected[7] = 0.1;
  EXPECT_EQ(get("GET  KpIni"), expected);

  std::array<double, 32> values;
  values.fill(0.5);
  EXPECT_TRUE(manager->ExecuteCommand("set kpini", values.data(), nullptr));
  EXPECT_EQ(get("get kpini"), expected) << "a \"set\" went past the model";
}

// Each model leaves its generation's motion thresholds in the correction behind
// it; a DKv4 model, built as a DKv3 one first, ends with the later pair.
TEST(HubManager, EachModelsCorrectionKeepsItsGenerationsMotionThresholds) {
  auto hub = std::make_shared<TestHub>();
  hub->Add("QN DKv3 Sep 15 2016", 0, 14, 20, 2)
      .Add("QN DKv4 Jan 10 2018", 0, 34, 20, 5)
      .Add("QN DKv6 Mar 12 2019", 0, 54, 20, 9, ModelImages::Image(ModelImages::Worked()));
  const auto manager = ConfiguredManager(hub);
  const struct {
    const char* command;
    double dkv3, later;
  } cases[] = {{"get magthreshformotiondetect", 0.002, 0.02}, {"get gyrthreshformotiondetect", 0.01, 0.05}};
  for (const auto& c : cases) {
    std::array<double, 32> output;
    output.fill(-1);
    EXPECT_TRUE(manager->ExecuteCommand(c.command, nullptr, output.data()));
    std::array<double, 32> expected;
    expected.fill(-1);
    expected[2] = c.dkv3;
    expected[5] = expected[9] = c.later;
    EXPECT_EQ(output, expected) << c.command;
  }
}

TEST(ChainFactory, ChoosesTheStageByGenerationAndDataType) {
  using namespace Processing::QN;
  const struct {
    const char* identity;
    int dataType;
    std::optional<std::type_index> stage;  // none: no stage
    const char* missing;                   // a stage this build lacks
  } cases[] = {
      {"DKv3 Sep 15 2017", 1, typeid(CQuat), ""},
      {"DKv3", 3, typeid(CDKv3QCT), ""},
      {"DKv3", 2, std::nullopt, ""},
      {"DKv4", 2, typeid(CCalibratedT), ""},
      {"DKv4", 1, std::nullopt, ""},
      {"DKv5", 1, typeid(CQuat), ""},
      {"DKv6", 2, typeid(CCalibratedT), ""},
      {"DKv6", 4, std::nullopt, ""},
      {"DKv7m2_V1103_Tindra_V1006 Feb 24 2016", 4, typeid(CDKv7Tindra), ""},
      {"ExtV", 0x7FFFFFFF, typeid(CExtender), ""},
      {"ExtV", -1, typeid(CExtender), ""},
      {"ExtV DKv7", 4, typeid(CDKv7Tindra), ""},  // generations are tried in order
      {"DKv7", 5, std::nullopt, ""},
      {"DKv3", 0, typeid(CDKv3), ""},
      {"DKv4 Jan 10 2018", 0, typeid(CDKv4), ""},
      {"DKv5", 0, typeid(CDKv5), ""},
      {"DKv5", 3, typeid(CDKv5QCT), ""},
      {"DKv6 Mar 12 2019", 0, typeid(CDKv6), ""},
      {"DKv6", 3, typeid(CDKv7QCT), ""},
      {"DKv7", 0, typeid(CDKv7), ""},
      {"DKv7", 3, typeid(CDKv7QCT), ""},
  };
  for (const auto& c : cases) {
    const auto sensor = std::make_shared<Communication::Device::QN::CSensor>(
        c.identity, c.dataType, 14, 20, 0, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{});
    const auto element = Processing::Manager::QN::CreateChainElement(c.identity, sensor, nullptr);
    ASSERT_EQ(element.stage != nullptr, c.stage.has_value()) << c.identity << " type " << c.dataType;
    if (c.stage) {
      const auto& stage = *element.stage;
      EXPECT_EQ(std::type_index(typeid(stage)), *c.stage) << c.identity << " type " << c.dataType;
    }
    EXPECT_EQ(element.missingStage, c.missing) << c.identity << " type " << c.dataType;
  }
}

}  // namespace

namespace {

TEST(ChainFactory, ChoosesTheKalmanCorrectionOnlyForTheLowerCaseWord) {
  const struct {
    const char* processing;
    bool kalman;
  } cases[] = {
      {"", false}, {"kalman", true}, {"extendedkalmanfilter", true}, {"Kalman", false}, {"pi", false},
  };
  const auto sensor = std::make_shared<Communication::Device::QN::CSensor>(
      "DKv5", 0, 14, 20, 0, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{});
  for (const auto& c : cases) {
    const auto correction = Processing::Manager::QN::CreateCorrection(c.processing, sensor);
    ASSERT_NE(correction, nullptr) << c.processing;
    if (c.kalman)
      EXPECT_NE(dynamic_cast<Processing::QN::CMEKFCorrectionWrapper*>(correction.get()), nullptr) << c.processing;
    else
      EXPECT_NE(dynamic_cast<Processing::QN::CPICorrection*>(correction.get()), nullptr) << c.processing;
    EXPECT_EQ(correction->GetDevice(), sensor) << c.processing;
  }
}

}  // namespace
