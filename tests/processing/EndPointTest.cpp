#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TestFrames.h"
#include "processing/decoders/EndPoints.h"
#include "processing/model/DKv5QCT.h"

namespace {

using namespace TestFrames;
using Communication::Device::QN::CSensor;
using Processing::SensorRecord;

std::shared_ptr<CSensor> Sensor(int dataSize) {
  return std::make_shared<CSensor>("ExtV test", 1, 14, dataSize, 0, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{});
}

// Record byte offset -> value; every other double of the record must stay 0.
using Expected = std::map<std::size_t, double>;

struct DecoderCase {
  const char* name;
  std::function<void(const std::uint8_t*, SensorRecord&)> decode;
  std::vector<std::int16_t> words;
  Expected expected;
  double tolerance;
};

constexpr double k15 = 1.0 / 32768;
constexpr double kPi = 3.14159265358979323846;
const double kHalfRoot = std::sqrt(0.5);

template <class Stage>
std::function<void(const std::uint8_t*, SensorRecord&)> Through() {
  return [](const std::uint8_t* words, SensorRecord& record) {
    Stage stage(Sensor(10));
    EXPECT_TRUE(stage.Process(words, &record));
  };
}

TEST(EndPoints, DecodeTheirWordsIntoTheirFieldsOnly) {
  const std::vector<DecoderCase> cases = {
      {"quat, scalar first in, last out", Through<Processing::QN::CQuat>(), {32767, 0, 0, 0, 0},
       {{184, 32767 * k15}}, 0},
      {"quat order and further value", Through<Processing::QN::CQuat>(), {4, 1, -2, 3, -32768},
       {{160, 1 * k15}, {168, -2 * k15}, {176, 3 * k15}, {184, 4 * k15}, {192, -1.0}}, 0},
      {"calibrated", Through<Processing::QN::CCalibratedT>(), {1, 2, 3, 4, 5, 6, 7, 8, 9, -10},
       {{80, -1 * k15}, {88, -2 * k15}, {96, -3 * k15},
        {128, -4 * k15}, {136, -5 * k15}, {144, -6 * k15},
        {104, 7 * k15}, {112, 8 * k15}, {120, 9 * k15}, {152, -10 * k15}}, 0},
      {"DKv3 quaternion and calibrated", Through<Processing::QN::CDKv3QCT>(),
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
       {{160, -3 * k15}, {168, 2 * k15}, {176, 1 * k15}, {184, -4 * k15},
        {80, 5.0 / 16384}, {88, 6.0 / 16384}, {96, 7.0 / 16384},
        {128, -8.0 / 16384}, {136, -9.0 / 16384}, {144, -10.0 / 16384},
        {104, 11 / 1048.57}, {112, 12 / 1048.57}, {120, 13 / 1048.57}, {152, 15 * k15}}, 1e-15},
      // Turning without a horizon to predict by: the sensor's own quaternion.
      {"DKv5 quaternion and calibrated", Through<Processing::QN::CDKv5QCT>(),
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
       {{160, 2 * k15}, {168, 3 * k15}, {176, 4 * k15}, {184, 1 * k15},
        {80, -5.0 / 16384}, {88, -6.0 / 16384}, {96, -7.0 / 16384},
        {128, 8.0 / 16384}, {136, 9.0 / 16384}, {144, 10.0 / 16384},
        {104, 11.0 / 1024}, {112, 12.0 / 1024}, {120, 13.0 / 1024}, {152, 15 * k15}}, 0},
      {"DKv6/DKv7 quaternion and calibrated",
       [](const std::uint8_t* words, SensorRecord& record) { Processing::QN::DecodeDKv7QCT(words, record); },
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
       {{160, 2 * k15}, {168, 3 * k15}, {176, 4 * k15}, {184, 1 * k15},
        {80, 5.0 / 2048}, {88, 6.0 / 2048}, {96, 7.0 / 2048},
        {128, 8.0 / 2048}, {136, 9.0 / 2048}, {144, 10.0 / 2048},
        {104, 11.0 / 1024}, {112, 12.0 / 1024}, {120, 13.0 / 1024}, {152, 14.0 / 256}}, 0},
      {"Tindra at rest: identity, temperature word 0", Through<Processing::QN::CDKv7Tindra>(), {},
       {{184, 1.0}, {152, -236371968 / 867041.28}}, 1e-12},
      {"Tindra quarter turn about z", Through<Processing::QN::CDKv7Tindra>(), {16384},
       {{176, kHalfRoot}, {184, kHalfRoot}, {152, -236371968 / 867041.28}}, 1e-12},
      // z first, then x: the other order would give y = -0.5.
      {"Tindra z then x", Through<Processing::QN::CDKv7Tindra>(), {16384, 16384},
       {{160, 0.5}, {168, 0.5}, {176, 0.5}, {184, 0.5}, {152, -236371968 / 867041.28}}, 1e-12},
      // A half turn comes back through the rotation matrix with its positive sign.
      {"Tindra half turn about z", Through<Processing::QN::CDKv7Tindra>(), {-32768},
       {{176, 1.0}, {152, -236371968 / 867041.28}}, 1e-12},
      {"Tindra rates, acceleration, unsigned temperature", Through<Processing::QN::CDKv7Tindra>(),
       {0, 0, 0, 32767, -32768, 100, 16384, -16384, 1, 0, 0, 0, 0, 0, -1},
       {{184, 1.0},
        {104, 32767 * kPi * 350 / 180 * k15}, {112, -350 * kPi / 180}, {120, 100 * kPi * 350 / 180 * k15},
        {80, -1.0}, {88, 1.0}, {96, -1.0 / 16384},
        {152, (65535 * 8400.0 - 236371968) / 867041.28}}, 1e-9},
  };

  for (const auto& c : cases) {
    Bytes words(30, 0);
    PutWords(words, 0, c.words);
    SensorRecord record{};
    c.decode(words.data(), record);
    for (std::size_t at = 0; at < 200; at += 8) {
      if (at == 72) continue;
      const auto wanted = c.expected.count(at) ? c.expected.at(at) : 0.0;
      EXPECT_NEAR(DoubleAt(&record, at), wanted, c.tolerance) << c.name << ", record byte " << at;
    }
    EXPECT_TRUE(AllZero(&record, 72, 8)) << c.name;
    EXPECT_TRUE(AllZero(&record, 200, 312)) << c.name;
  }
}

TEST(EndPoints, ExtenderCopiesItsSensorsPayloadLength) {
  struct Case {
    int dataSize;
    std::size_t copied;
  } cases[] = {{0, 10}, {-4, 10}, {256, 10}, {40, 40}, {255, 255}, {1, 1}};
  for (const auto& c : cases) {
    Bytes payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
    SensorRecord record{};
    Processing::QN::CExtender extender(Sensor(c.dataSize));
    EXPECT_TRUE(extender.Process(payload.data(), &record));
    EXPECT_EQ(std::memcmp(BytesOf(&record) + 200, payload.data(), c.copied), 0) << c.dataSize;
    EXPECT_TRUE(AllZero(&record, 200 + c.copied, 512 - 200 - c.copied)) << c.dataSize;
    EXPECT_TRUE(AllZero(&record, 0, 200)) << c.dataSize;
  }
}

TEST(EndPoints, RefuseConfigurationAndCommands) {
  Processing::QN::CQuat stage(Sensor(10));
  boost::property_tree::ptree configuration;
  const int mode = 2;
  double input[32] = {};
  EXPECT_FALSE(stage.Configure(configuration, nullptr));
  EXPECT_FALSE(stage.Configure(configuration, &mode));
  EXPECT_FALSE(stage.ExecuteCommand("set something", input, nullptr));
}

}  // namespace
