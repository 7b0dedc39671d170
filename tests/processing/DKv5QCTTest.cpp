// The DKv5 quaternion-and-calibrated stage: prediction while the sensor turns,
// and the head sensor's exchange of quaternions through the shared storage.

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "TestFrames.h"
#include "processing/model/DKv5QCT.h"
#include "processing/storage/DataStorage.h"

namespace {

using namespace TestFrames;
using Processing::QN::CDKv5QCT;
using SharedStorage::CReader;
using Config = std::map<std::string, std::string>;
using Stored = std::array<double, 4>;  // x, y, z, w

constexpr int kPosition = 2;
// The sensor's quaternion words w0 (scalar) to w3: (0.5, 0.5, 0.5, 0.5).
constexpr std::int16_t kHalf = 16384;
// A rate word of 1024 on x: angular rate 1, r = 1000 / 1024 per axis.
constexpr double kR = 1000.0 / 1024;

boost::property_tree::ptree Tree(const Config& config) {
  boost::property_tree::ptree tree;
  for (const auto& [key, value] : config) tree.put(key, value);
  return tree;
}

std::unique_ptr<CDKv5QCT> Configured(const Config& config, int position = kPosition) {
  auto stage = std::make_unique<CDKv5QCT>(std::make_shared<Communication::Device::QN::CSensor>(
      "DKv5 Jan 10 2018", 3, 14, 30, position, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{}));
  EXPECT_TRUE(stage->Configure(Tree(config), nullptr));
  return stage;
}

// One frame with the quaternion words above and a rate word on x; returns
// the record's quaternion.
Eigen::Quaterniond Frame(CDKv5QCT& stage, std::int16_t rateWord) {
  Bytes words(30, 0);
  PutWords(words, 0, {kHalf, kHalf, kHalf, kHalf});
  PutWords(words, 20, {rateWord, 0, 0});
  alignas(8) std::array<std::uint8_t, 512> record{};
  EXPECT_TRUE(stage.Process(words.data(), record.data()));
  return Eigen::Quaterniond(DoubleAt(record.data(), 184), DoubleAt(record.data(), 160), DoubleAt(record.data(), 168),
                            DoubleAt(record.data(), 176));
}

const Eigen::Quaterniond kDecoded(0.5, 0.5, 0.5, 0.5);

// The decoded quaternion turned by the rotation vector (horizon x r x 0.001)
// about x, not normalised.
Eigen::Quaterniond Predicted(double horizon) {
  return kDecoded * Eigen::Quaterniond(Eigen::AngleAxisd(horizon * kR * 0.001, Eigen::Vector3d::UnitX()));
}

void ExpectNear(const Eigen::Quaterniond& actual, const Eigen::Quaterniond& expected, const std::string& where) {
  EXPECT_TRUE(actual.coeffs().isApprox(expected.coeffs(), 1e-14))
      << where << ": q = " << actual.coeffs().transpose() << ", expected " << expected.coeffs().transpose();
}

TEST(DKv5QCT, PredictsByItsHorizonOnlyWhileTurning) {
  const struct {
    const char* name;
    Config config;
    double horizon;  // of the prediction on the first turning frame; 0: none
  } cases[] = {
      {"the common horizon", {{"PredictionTime", "20"}}, 20},
      {"no horizon", {}, 0},
      {"the sensor's own horizon with its own threshold",
       {{"PredictionTime", "20"}, {"sensor_2_gyrThreshFormotionDetect", "0.01"}, {"sensor_2_PredictionTime", "40"}},
       40},
      {"the sensor's own horizon alone is ignored", {{"PredictionTime", "20"}, {"sensor_2_PredictionTime", "40"}}, 20},
      {"an unreadable own threshold takes the own horizon with it",
       {{"PredictionTime", "20"}, {"sensor_2_gyrThreshFormotionDetect", "x"}, {"sensor_2_PredictionTime", "40"}},
       20},
      {"another sensor's keys",
       {{"PredictionTime", "20"}, {"sensor_3_gyrThreshFormotionDetect", "0.01"}, {"sensor_3_PredictionTime", "40"}},
       20},
      // The first filter output is 0.6008 x r = 0.587: below 1 it is rest.
      {"a threshold above the motion", {{"PredictionTime", "20"}, {"gyrThreshFormotionDetect", "1"}}, 0},
  };
  for (const auto& c : cases) {
    const auto stage = Configured(c.config);
    ExpectNear(Frame(*stage, 0), kDecoded, std::string(c.name) + ", at rest");
    ExpectNear(Frame(*stage, 1024), Predicted(c.horizon), std::string(c.name) + ", turning");
    ExpectNear(Frame(*stage, 0), kDecoded, std::string(c.name) + ", stopped: nothing to predict by");
  }
}

TEST(DKv5QCT, RefusesAFrequencyOutsideTheTableAndKeepsItsConfiguration) {
  const auto stage = Configured({{"PredictionTime", "20"}});
  for (const char* frequency : {"120", "0", "-60"}) {
    try {
      stage->Configure(Tree({{"Frequency", frequency}, {"PredictionTime", "40"}}), nullptr);
      ADD_FAILURE() << frequency << " Hz was accepted";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "unknown frequency") << frequency;
    }
  }
  ExpectNear(Frame(*stage, 1024), Predicted(20), "after the refusals");
  EXPECT_TRUE(stage->Configure(Tree({{"Frequency", "30"}, {"PredictionTime", "40"}}), nullptr));
  ExpectNear(Frame(*stage, 1024), Predicted(40), "at 30 Hz");
}

// The test plays the rest of the process: it publishes the object's
// orientation to the camera and reads what the head sensor publishes.
class HeadSensor : public ::testing::Test {
 protected:
  static constexpr std::size_t kBytes = sizeof(Stored);

  void SetUp() override {
    // Values stored by earlier users of the keys are no news here.
    Stored stale;
    cameraSensor.Get(stale.data(), kBytes);
    objectForCorrect.Get(stale.data(), kBytes);
  }

  void PublishObjectCamera(const Eigen::Quaterniond& o) {
    const Stored value{o.x(), o.y(), o.z(), o.w()};
    objectCamera.Set(value.data(), kBytes);
  }

  static std::optional<Eigen::Quaterniond> Take(CReader& reader) {
    Stored value;
    if (!reader.Get(value.data(), kBytes)) return std::nullopt;
    return Eigen::Quaterniond(value[3], value[0], value[1], value[2]);
  }

  CReader cameraSensor{"CameraSensorQuat", kBytes};
  CReader objectCamera{"ObjectCameraQuat", kBytes};
  CReader objectForCorrect{"ObjectQuatForCorrect", kBytes};
};

TEST_F(HeadSensor, PublishesItsQuaternionAndCombinesEachNewObjectQuaternionOnce) {
  const Eigen::Quaterniond o(Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized()));
  const struct {
    const char* name;
    Config config;
    Eigen::Quaterniond combined;
  } cases[] = {
      {"camera apart from the object", {{"headSensor", "2"}, {"PredictionTime", "20"}},
       (Predicted(20) * o).normalized()},
      {"camera on the object", {{"headSensor", "2"}, {"PredictionTime", "20"}, {"cameraOnGun", "true"}},
       (Predicted(20) * o.conjugate()).normalized()},
  };
  for (const auto& c : cases) {
    const auto stage = Configured(c.config);
    Frame(*stage, 0);
    EXPECT_FALSE(Take(cameraSensor)) << c.name << ": published at rest";

    // The first turning frame also takes in an object quaternion stored
    // before the stage was made (by an earlier case).
    Frame(*stage, 1024);
    Take(objectForCorrect);
    const auto own = Take(cameraSensor);
    ASSERT_TRUE(own) << c.name;
    ExpectNear(*own, Predicted(20), c.name);
    Frame(*stage, 1024);
    EXPECT_TRUE(Take(cameraSensor)) << c.name;
    EXPECT_FALSE(Take(objectForCorrect)) << c.name << ": combined without a new object quaternion";

    PublishObjectCamera(o);
    Frame(*stage, 1024);
    const auto combined = Take(objectForCorrect);
    ASSERT_TRUE(combined) << c.name;
    ExpectNear(*combined, c.combined, c.name);

    Frame(*stage, 1024);
    EXPECT_TRUE(Take(cameraSensor)) << c.name;
    EXPECT_FALSE(Take(objectForCorrect)) << c.name << ": the same object quaternion combined twice";
  }
}

TEST_F(HeadSensor, PublishesNothingCombinedFromAZeroQuaternion) {
  const auto stage = Configured({{"headSensor", "2"}});
  Frame(*stage, 1024);
  Take(objectForCorrect);
  PublishObjectCamera(Eigen::Quaterniond(0, 0, 0, 0));
  Frame(*stage, 1024);
  EXPECT_TRUE(Take(cameraSensor));
  EXPECT_FALSE(Take(objectForCorrect));
}

TEST_F(HeadSensor, OtherSensorsNeverTouchTheEntries) {
  for (const char* head : {"-1", "3"}) {
    const auto stage = Configured({{"headSensor", head}});
    PublishObjectCamera(Eigen::Quaterniond::Identity());
    for (int n = 0; n < 3; ++n) Frame(*stage, 1024);
    EXPECT_FALSE(Take(cameraSensor)) << head;
    EXPECT_FALSE(Take(objectForCorrect)) << head;
  }
}

}  // namespace
