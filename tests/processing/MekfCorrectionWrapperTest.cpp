// The Kalman attitude stage on SensorRecords, as a sensor model hands them on.

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestFrames.h"
#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/attitude/MekfCorrectionWrapper.h"

namespace {

using Processing::SensorRecord;
using Processing::QN::CMEKFCorrectionWrapper;
using TestFrames::DoubleAt;

std::shared_ptr<CMEKFCorrectionWrapper> MakeStage() {
  return std::make_shared<CMEKFCorrectionWrapper>(std::make_shared<Communication::Device::QN::CSensor>(
      "DKv6 Sep 15 2017", 0, 14, 20, 3, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{}));
}

boost::property_tree::ptree WithFrequency(const std::string& text) {
  boost::property_tree::ptree configuration;
  configuration.put("Frequency", text);
  return configuration;
}

void SetVector(double (&target)[3], double x, double y, double z) {
  target[0] = x;
  target[1] = y;
  target[2] = z;
}

// The record's quaternion (x, y, z, w), read at its bytes.
std::vector<double> QuaternionOf(const SensorRecord& record) {
  return {DoubleAt(&record, 160), DoubleAt(&record, 168), DoubleAt(&record, 176), DoubleAt(&record, 184)};
}

// A still record: what an accelerometer reads, the field, the angular rate.
SensorRecord Record(const double (&acceleration)[3], const double (&field)[3], const double (&rate)[3]) {
  SensorRecord record{};
  SetVector(record.acceleration, acceleration[0], acceleration[1], acceleration[2]);
  SetVector(record.magneticField, field[0], field[1], field[2]);
  SetVector(record.angularRate, rate[0], rate[1], rate[2]);
  return record;
}

// A level sensor aligns and gets its first update; then it turns about z at 2
// rad/s for 8 frames, before the next window can update: the yaw it reaches is
// 8 steps of 2 asin(rate dt / 2), which shows the dt the stage runs with.
double YawAfterEightTurningFrames(CMEKFCorrectionWrapper& stage) {
  for (int frame = 1; frame <= 101; ++frame) {
    auto record = Record({0, 0, 1}, {0, 0.3, -0.4}, {0, 0, 0});
    stage.Process(nullptr, &record);
  }
  SensorRecord record{};
  for (int frame = 102; frame <= 109; ++frame) {
    record = Record({0, 0, 1}, {0, 0.3, -0.4}, {0, 0, 2.0});
    stage.Process(nullptr, &record);
  }
  const auto q = QuaternionOf(record);
  EXPECT_NEAR(std::hypot(q[0], q[1]), 0, 1e-15) << "not a turn about z";
  return 2 * std::atan2(q[2], q[3]);
}

TEST(MekfCorrectionWrapper, RunsAtTheConfiguredFrequencyAndKeepsItAgainstABadOne) {
  const struct {
    const char* name;
    std::vector<std::string> frequencies;  // configured in turn; "-" configures without the key
    double period;                         // s
    const char* warning;
  } cases[] = {
      {"never configured", {}, 1.0 / 500, nullptr},
      {"no Frequency", {"-"}, 1.0 / 60, nullptr},
      {"100", {"100"}, 1.0 / 100, nullptr},
      {"200 then no Frequency", {"200", "-"}, 1.0 / 60, nullptr},
      {"0 after 100", {"100", "0"}, 1.0 / 100,
       "<warning> \"Frequency\" \"0\" is no sample rate: the Kalman filter of \"DKv6 Sep 15 2017\" keeps 100 Hz"},
      {"negative after 100", {"100", "-50"}, 1.0 / 100, "<warning> \"Frequency\" \"-50\" is no sample rate"},
      {"not a number after 100", {"100", "fast"}, 1.0 / 100, "<warning> \"Frequency\" \"fast\" is no sample rate"},
      {"beyond a double after 100", {"100", "1e999"}, 1.0 / 100, "<warning> \"Frequency\" \"1e999\" is no sample rate"},
      {"0 first", {"0"}, 1.0 / 500,
       "<warning> \"Frequency\" \"0\" is no sample rate: the Kalman filter of \"DKv6 Sep 15 2017\" keeps 500 Hz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const auto stage = MakeStage();
    for (const auto& frequency : c.frequencies) {
      const auto configuration = frequency == "-" ? boost::property_tree::ptree{} : WithFrequency(frequency);
      EXPECT_TRUE(stage->Configure(configuration, nullptr));
    }
    const double expected = 8 * 2 * std::asin(2.0 * c.period / 2);
    EXPECT_NEAR(YawAfterEightTurningFrames(*stage), expected, 1e-12);
    if (c.warning) {
      EXPECT_EQ(log.Count("is no sample rate"), 1u);
      EXPECT_EQ(log.Count(c.warning), 1u) << "no warning like: " << c.warning;
    } else {
      EXPECT_EQ(log.Count("is no sample rate"), 0u);
    }
  }
}

// 90 deg about x: the accelerometer reads (0, 1, 0); the stage negates it for
// the filter, so a sign slip would give a different attitude.
TEST(MekfCorrectionWrapper, WritesOnlyTheRecordsQuaternionAndAlignsAgainAfterEachConfigure) {
  const auto stage = MakeStage();
  ASSERT_TRUE(stage->Configure(WithFrequency("100"), nullptr));
  const Eigen::Quaterniond expected(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first Configure" : "Configure while tracking");
    for (int frame = 1; frame <= 300; ++frame) {
      SensorRecord record;
      std::memset(&record, 0xA5, sizeof record);
      SetVector(record.acceleration, 0, 1, 0);
      SetVector(record.magneticField, 0, -0.4, -0.3);
      SetVector(record.angularRate, 0, 0, 0);
      SensorRecord before = record;
      ASSERT_TRUE(stage->Process(nullptr, &record));

      const auto q = QuaternionOf(record);
      if (frame <= 100) {
        ASSERT_EQ(q, (std::vector<double>{0, 0, 0, 1})) << "frame " << frame;
      } else {
        const Eigen::Quaterniond attitude(q[3], q[0], q[1], q[2]);
        ASSERT_LE(attitude.angularDistance(expected), 1e-9)
            << "frame " << frame << ": q = " << attitude.coeffs().transpose();
      }
      std::memcpy(before.quaternion, record.quaternion, sizeof before.quaternion);
      ASSERT_EQ(std::memcmp(&before, &record, sizeof record), 0)
          << "frame " << frame << ": more than the quaternion written";
    }
    ASSERT_TRUE(stage->Configure(WithFrequency("100"), nullptr));
  }
  // The models' motion thresholds are not this stage's.
  double values[32] = {};
  EXPECT_FALSE(stage->ExecuteCommand("set gyrthreshformotiondetect", values, nullptr));
}

}  // namespace
