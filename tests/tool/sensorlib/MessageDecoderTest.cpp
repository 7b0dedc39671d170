#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "StreamFrames.h"
#include "StreamProcessor.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;
using StreamFrames::message;
using StreamFrames::wordFrame;

constexpr double kTolerance = 1e-12;

std::uint16_t word(int value) { return static_cast<std::uint16_t>(static_cast<std::int16_t>(value)); }

// A processor (never started) whose callbacks note what they were called with.
class Decoding : public ::testing::Test {
 protected:
  Decoding() {
    processor.identityCallback = [this](const std::string& text) { calls.push_back("identity " + text); };
    processor.deviceErrorCallback = [this](const std::string& text) {
      calls.push_back("error");
      errors.push_back(text);
    };
    processor.deviceErrorClearedCallback = [this] { calls.push_back("cleared"); };
    processor.quaternionCallback = [this](const Eigen::Quaterniond& q) {
      calls.push_back("quaternion");
      quaternions.push_back(q);
    };
    processor.temperatureCallback = [this](const double& t) {
      calls.push_back("temperature");
      temperatures.push_back(t);
    };
    processor.sensorDataCallback = [this](const QuenlithSensorData& d) {
      calls.push_back("data");
      data.push_back(d);
    };
    processor.flashBlockCallback = [this](const std::string& block) {
      calls.push_back("flash");
      blocks.push_back(block);
    };
    processor.statusCallback = [this](const QuenlithSensorStatus& s) {
      calls.push_back("status");
      statuses.push_back(s);
    };
  }

  void handle(const std::string& frame) { processor.handleMessage(message(frame)); }

  StreamProcessor processor;
  std::vector<std::string> calls;
  std::vector<std::string> errors;
  std::vector<Eigen::Quaterniond> quaternions;
  std::vector<double> temperatures;
  std::vector<QuenlithSensorData> data;
  std::vector<std::string> blocks;
  std::vector<QuenlithSensorStatus> statuses;
};

// 0x0210 payload: 28 words with the device-error digits at bytes 36 to 43.
std::string measurementWithError(std::uint16_t counter, const std::string& errorDigits) {
  std::vector<std::uint16_t> w(28, 0);
  w[0] = counter;
  w[4] = 0x4000;            // w
  w[8] = word(16384);       // vector1 x = 0.5
  w[13] = word(-8192);      // vector2 z = -0.25
  w[16] = word(32767);      // gyro z
  w[17] = word(3268);       // temperature
  std::string payload = StreamFrames::words(w);
  payload.replace(36, 8, errorDigits);
  return StreamFrames::frame(0x0210, payload);
}

TEST_F(Decoding, MeasurementScalesEveryWord) {
  handle(wordFrame(0x0213, {7, word(0), word(3), word(0), word(4),        // counter, w x y z
                            word(16384), word(-32768), word(1),           // vector1
                            word(-16384), word(0), word(32767),           // vector2
                            word(1024), word(-512), word(10),             // gyro
                            word(-32768)}));                              // temperature
  EXPECT_EQ(calls, (std::vector<std::string>{"quaternion", "temperature", "data"}));
  ASSERT_EQ(data.size(), 1u);
  const auto& d = data[0];
  EXPECT_EQ(d.counter, 7);
  EXPECT_NEAR(d.quaternion.w(), 0.0, kTolerance);
  EXPECT_NEAR(d.quaternion.x(), 0.6, kTolerance);
  EXPECT_NEAR(d.quaternion.z(), 0.8, kTolerance);
  EXPECT_TRUE(d.vector1.isApprox(Eigen::Vector3d(0.5, -1.0, 1.0 / 32768))) << d.vector1.transpose();
  EXPECT_TRUE(d.vector2.isApprox(Eigen::Vector3d(-0.5, 0.0, 32767.0 / 32768))) << d.vector2.transpose();
  EXPECT_TRUE(d.gyro.isApprox(Eigen::Vector3d(1.0, -0.5, 10.0 / 1024))) << d.gyro.transpose();
  EXPECT_NEAR(d.temperature, 25.0 - 1.0 / 326.8, kTolerance);
  EXPECT_EQ(temperatures[0], d.temperature);
  EXPECT_FALSE(d.deviceError);
}

TEST_F(Decoding, QuaternionOfFullScaleWordsDoesNotOverflow) {
  // Four squares of -32768 sum to 2^32.
  handle(wordFrame(0x0211, {0, word(-32768), word(-32768), word(-32768), word(-32768)}));
  ASSERT_EQ(quaternions.size(), 1u);
  EXPECT_TRUE(quaternions[0].coeffs().isApprox(Eigen::Vector4d(-0.5, -0.5, -0.5, -0.5)))
      << quaternions[0].coeffs().transpose();

  handle(wordFrame(0x0211, {0, 0, 0, 0, 0}));
  ASSERT_EQ(quaternions.size(), 2u);
  EXPECT_EQ(quaternions[1].coeffs(), Eigen::Vector4d::Zero()) << "an all-zero quaternion stays unnormalised";
}

TEST_F(Decoding, DeviceErrorIsReportedOnItsEdgesWithAllFourBytes) {
  handle(measurementWithError(1, "0A1B0000"));
  handle(measurementWithError(2, "g1FF0000"));  // still erroneous: no second report; g counts as 0
  handle(measurementWithError(3, std::string(8, '\0')));
  handle(measurementWithError(4, std::string(8, '\0')));
  EXPECT_EQ(calls, (std::vector<std::string>{"quaternion", "temperature", "error", "data",  //
                                             "quaternion", "temperature", "data",           //
                                             "quaternion", "temperature", "cleared", "data",  //
                                             "quaternion", "temperature", "data"}));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], std::string("\x0A\x1B\x00\x00", 4)) << "the NUL bytes belong to the text";
  ASSERT_EQ(data.size(), 4u);
  EXPECT_EQ(data[0].deviceError, std::string("\x0A\x1B\x00\x00", 4));
  EXPECT_EQ(data[1].deviceError, std::string("\x01\xFF\x00\x00", 4));
  EXPECT_FALSE(data[2].deviceError);
  EXPECT_NEAR(data[0].vector1.x(), 0.5, kTolerance);
  EXPECT_NEAR(data[0].vector2.z(), -0.25, kTolerance);
  EXPECT_NEAR(data[0].gyro.z(), 32767.0 / 32768, kTolerance);
  EXPECT_NEAR(data[0].temperature, 25.0 + 3268.0 / 32768 / 326.8, kTolerance);
  EXPECT_EQ(data[0].quaternion.coeffs(), Eigen::Vector4d(0, 0, 0, 1));
}

TEST_F(Decoding, StatusRateFromThePeriodWord) {
  const struct {
    std::uint16_t state;
    std::uint16_t period;
    bool streaming;
    double rate;  // (Hz)
  } cases[] = {
      {0xFFFF, 16665, true, 1e6 / 16666},  // about 60 Hz
      {0x0000, 0, false, 1e6},
      {0x0001, 0xFFFF, false, 1e6 / 65536},  // the divisor must not wrap to zero
  };
  for (const auto& c : cases) {
    statuses.clear();
    handle(wordFrame(0x0310, {c.state, 9, c.period, 3, 4, 5, 6}));
    ASSERT_EQ(statuses.size(), 1u);
    const auto& s = statuses[0];
    EXPECT_EQ(s.streaming, c.streaming) << c.period;
    EXPECT_EQ(s.periodValue, c.period);
    EXPECT_NEAR(s.rate, c.rate, 1e-9 * c.rate) << c.period;
    EXPECT_EQ(s.value1, 9u);
    EXPECT_EQ(s.value4, 4);
    EXPECT_EQ(s.value5, 5);
  }
}

TEST_F(Decoding, IdentityEndsAtTheFirstNul) {
  handle(StreamFrames::frame(0x0110, std::string("DKv6 Mar 3 2019\0junk", 20)));
  handle(StreamFrames::frame(0x0110, "mCU 1.2."));
  EXPECT_EQ(calls, (std::vector<std::string>{"identity DKv6 Mar 3 2019", "identity mCU 1.2."}));
}

TEST_F(Decoding, FlashBlockIsPassedWhole) {
  std::string payload(2048, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  handle(StreamFrames::frame(0x0510, payload));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], payload);
}

TEST_F(Decoding, PayloadOfTheWrongSizeThrowsAndCallsNothing) {
  const struct {
    std::uint16_t type;
    std::size_t bytes;
    const char* message;
  } cases[] = {
      {0x0213, 28, "the size of the GetDataF response is 28 bytes instead of 30 bytes"},
      {0x0213, 32, "the size of the GetDataF response is 32 bytes instead of 30 bytes"},
      {0x0210, 54, "the size of the DataType response is 54 bytes instead of 56 bytes"},
      {0x0211, 12, "the size of the GetDataQ response is 12 bytes instead of 10 bytes"},
      {0x0310, 12, "the size of the GetStat response is 12 bytes which is less than the required 14 bytes"},
      {0x0510, 510, "the size of the ReadFlash response is 510 bytes which is less than the required 512 bytes"},
  };
  for (const auto& c : cases) {
    try {
      handle(StreamFrames::frame(c.type, std::string(c.bytes, '\x01')));
      ADD_FAILURE() << c.message;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
  EXPECT_TRUE(calls.empty());

  // A short erroneous 0x0210 frame leaves the device-error state alone.
  handle(measurementWithError(1, "01000000"));
  EXPECT_THROW(handle(StreamFrames::frame(0x0210, std::string(54, '\0'))), std::runtime_error);
  handle(measurementWithError(2, std::string(8, '\0')));
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "cleared"), 1);
}

TEST_F(Decoding, UnknownTypesAreIgnored) {
  handle(wordFrame(0x0212, {1, 2, 3, 4, 5}));
  handle(wordFrame(0x0400, {0xFFFF}));
  EXPECT_TRUE(calls.empty());
}

TEST_F(Decoding, ThrowingCallbackDoesNotStopTheOthers) {
  processor.quaternionCallback = [](const Eigen::Quaterniond&) { throw std::runtime_error("boom"); };
  processor.temperatureCallback = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(handle(wordFrame(0x0213, std::vector<std::uint16_t>(15, 1))));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "the invocation of a handler failed with error: boom\n");
  EXPECT_EQ(calls, (std::vector<std::string>{"data"}));
}

}  // namespace
