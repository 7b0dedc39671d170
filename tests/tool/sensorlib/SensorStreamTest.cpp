#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PtyPeer.h"
#include "ScratchDirectory.h"
#include "SensorStream.h"
#include "StreamFrames.h"
#include "simhub/LineMarker.h"
#include "simhub/SimulatedHub.h"
#include "simhub/StreamSensor.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;
using Clock = std::chrono::steady_clock;

constexpr int kComPort = 6;
constexpr std::uint32_t kSerial = 0x12345678;
const std::string kDkv6 = "QN DKv6 inertial sensor Jun 12 2019";
const std::string kDkv4 = "QN DKv4 inertial sensor Sep 20 2017";

SimHub::Bytes image(std::size_t size) {
  SimHub::Bytes bytes(size, 0);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 5 + 3);
  for (int k = 0; k < 4; ++k) bytes[8 + k] = static_cast<std::uint8_t>(kSerial >> (8 * k));
  return bytes;
}

std::vector<std::uint16_t> requestWords(const SimHub::SimulatedHub& hub) {
  std::vector<std::uint16_t> words;
  for (const auto& frame : hub.RequestsReceived()) words.push_back(static_cast<std::uint16_t>(frame[4] | frame[5] << 8));
  return words;
}

// A simulated sensor on COM port 6 and a sensor stream for it.
class StreamEndToEnd : public ::testing::Test {
 protected:
  StreamEndToEnd() {
    setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
    stream.informationCallback = [this](const QuenlithSensorInformation& information) {
      std::lock_guard<std::mutex> lock(mutex);
      informations.push_back(information);
    };
    stream.statusCallback = [this](const QuenlithSensorStatus& status) {
      std::lock_guard<std::mutex> lock(mutex);
      statuses.push_back(status);
    };
  }
  ~StreamEndToEnd() override {
    stream.stop();
    if (hub) hub->Stop();
    unsetenv("QUENLITH_TTY_DIR");
  }

  void startSensor(const std::string& identity, SimHub::Bytes flash, double rateHz = 200) {
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::StreamSensor;
    options.identity = identity;
    options.frameRateHz = rateHz;
    options.sensors = {SimHub::SimSensor{"", std::move(flash), {}}};
    hub = std::make_unique<SimHub::SimulatedHub>(options);
    hub->AttachPty(scratch.Path(), kComPort);
  }
  std::string portName() const { return "\\\\.\\COM" + std::to_string(kComPort); }

  std::size_t informationCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return informations.size();
  }
  // Polls on this thread until the condition holds; gives up after a generous bound.
  bool pollUntil(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
      if (Clock::now() > end) return false;
      stream.poll();
    }
    return true;
  }

  ScratchDirectory scratch;
  std::unique_ptr<SimHub::SimulatedHub> hub;
  SensorStream stream;
  std::mutex mutex;
  std::vector<QuenlithSensorInformation> informations;
  std::vector<QuenlithSensorStatus> statuses;
};

TEST_F(StreamEndToEnd, PlainAdapterDeliversInformationOnceThenStreams) {
  startSensor(kDkv6, image(2048));
  stream.start(portName(), false);

  // As the gyro calibration does it: one worker polls, this thread takes records.
  std::atomic<bool> running{true};
  std::vector<std::string> pollErrors;
  std::thread worker([&] {
    while (running) {
      try {
        stream.poll();
      } catch (const std::exception& error) {
        pollErrors.push_back(error.what());
      }
    }
  });
  std::vector<QuenlithSensorData> records;
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (records.size() < 25 && Clock::now() < end) {
    const QuenlithSensorData record = stream.nextData();
    if (record.counter != 0 && (records.empty() || record.counter != records.back().counter)) records.push_back(record);
  }
  running = false;
  worker.join();
  EXPECT_TRUE(pollErrors.empty()) << pollErrors.front();

  ASSERT_EQ(informationCount(), 1u);
  const auto& information = informations[0];
  EXPECT_EQ(information.firmware, kDkv6);
  EXPECT_FALSE(information.mcuIdentity);
  EXPECT_EQ(information.fields.type, "DKv6");
  EXPECT_EQ(information.fields.serial, kSerial);

  ASSERT_EQ(records.size(), 25u);
  for (std::size_t k = 1; k < records.size(); ++k) EXPECT_GT(records[k].counter, records[k - 1].counter);
  for (const auto& record : records) {
    const auto gyroX = static_cast<std::int16_t>(SimHub::SyntheticWord(record.counter, 0, 6));
    EXPECT_EQ(record.gyro.x(), gyroX / 1024.0) << record.counter;
    EXPECT_EQ(record.quaternion.coeffs(), Eigen::Vector4d(0, 0, 0, 1));
    EXPECT_EQ(record.temperature, 25.0);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_FALSE(statuses.empty());
    EXPECT_TRUE(statuses.back().streaming);
    EXPECT_EQ(statuses.back().periodValue, 16665u);
  }

  // A sensor that checks checksums took the stream-off frame.
  EXPECT_EQ(requestWords(*hub), (std::vector<std::uint16_t>{0x0400, 0x0401, 0x0402, 0x0100, 0x0500, 0x0400}));
  EXPECT_EQ(hub->RequestsReceived().front()[6], 0x00);
  EXPECT_EQ(hub->RequestsReceived().back()[6], 0xFF);
}

TEST_F(StreamEndToEnd, OemAdapterAddsItsMcuIdentity) {
  startSensor(kDkv6, image(2048));
  stream.start(portName(), true);
  ASSERT_TRUE(pollUntil([&] { return informationCount() == 1; }));
  EXPECT_EQ(informations[0].mcuIdentity, std::string(SimHub::StreamSensor::kOemMcuIdentity));
  EXPECT_EQ(informations[0].firmware, kDkv6);
  // Stream off comes first, stream on last.
  ASSERT_TRUE(hub->WaitForRequest(0x0400, std::chrono::seconds(5), 2));
  EXPECT_EQ(requestWords(*hub),
            (std::vector<std::uint16_t>{0x0400, 0x0404, 0x0100, 0x0800, 0x0100, 0x0800, 0x0500, 0x0400}));
}

TEST_F(StreamEndToEnd, EachStreamingGenerationThroughEachAdapter) {
  const std::vector<std::uint16_t> plainRequests{0x0400, 0x0401, 0x0402, 0x0100, 0x0500, 0x0400};
  const std::vector<std::uint16_t> oemRequests{0x0400, 0x0404, 0x0100, 0x0800, 0x0100, 0x0800, 0x0500, 0x0400};
  const struct {
    std::string identity;
    const char* layout;
    bool oem;
  } cases[] = {
      {"QN DKv5 inertial sensor Mar 3 2018", "DKv5", false},
      {"QN DKv5 inertial sensor Mar 3 2018", "DKv5", true},
      {kDkv6, "DKv6", false},
      {kDkv6, "DKv6", true},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.layout) + (c.oem ? " OEM" : " plain");
    startSensor(c.identity, image(2048));
    stream.start(portName(), c.oem);
    ASSERT_TRUE(pollUntil([&] { return informationCount() == 1; })) << name;

    std::vector<std::uint16_t> counters;
    ASSERT_TRUE(pollUntil([&] {
      const QuenlithSensorData record = stream.nextData();
      if (hub->DataFramesSent() > 0 && (counters.empty() || record.counter != counters.back()))
        counters.push_back(record.counter);
      return counters.size() == 20;
    })) << name;
    for (std::size_t k = 1; k < counters.size(); ++k) EXPECT_EQ(counters[k], counters[k - 1] + 1) << name;
    // Ten frames further on the information has still come once.
    const auto sent = hub->DataFramesSent();
    ASSERT_TRUE(pollUntil([&] { return hub->DataFramesSent() >= sent + 10; })) << name;

    {
      std::lock_guard<std::mutex> lock(mutex);
      ASSERT_EQ(informations.size(), 1u) << name;
      const auto& information = informations[0];
      EXPECT_EQ(information.firmware, c.identity) << name;
      EXPECT_EQ(information.fields.type, c.layout) << name;
      EXPECT_EQ(information.fields.serial, kSerial) << name;
      if (c.oem)
        EXPECT_EQ(information.mcuIdentity, std::string(SimHub::StreamSensor::kOemMcuIdentity)) << name;
      else
        EXPECT_FALSE(information.mcuIdentity) << name;
      informations.clear();
    }
    EXPECT_EQ(requestWords(*hub), c.oem ? oemRequests : plainRequests) << name;
    stream.stop();
    hub->Stop();
    hub.reset();
  }
}

TEST_F(StreamEndToEnd, OlderGenerationGetsItsInformationButNoStream) {
  startSensor(kDkv4, image(512));
  testing::internal::CaptureStdout();
  stream.start(portName(), false);
  const bool delivered = pollUntil([&] { return informationCount() == 1; });
  const std::string output = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(delivered);
  // A stream switched on would go out before the information is delivered;
  // the marker shows that the sensor has everything sent until then.
  SimHub::LineMarker(*hub).Mark();
  EXPECT_EQ(informations[0].fields.type, "DKv4");
  EXPECT_EQ(informations[0].fields.serial, kSerial);
  EXPECT_NE(output.find("data streaming is not supported for this device\n"), std::string::npos);
  EXPECT_FALSE(hub->Streaming());
  const QuenlithSensorData record = stream.nextData();
  EXPECT_EQ(record.counter, 0);
  EXPECT_EQ(record.quaternion.coeffs(), Eigen::Vector4d(0, 0, 0, 1));
}

TEST_F(StreamEndToEnd, QueueKeepsTheFiftyNewestRecords) {
  startSensor(kDkv6, image(2048), 1000);
  stream.start(portName(), false);
  ASSERT_TRUE(pollUntil([&] { return hub->DataFramesSent() >= 80; }));
  hub->InjectFault(SimHub::Fault::StopAnswering, 0);  // streaming ends here
  const auto lastCounter = static_cast<std::uint16_t>(hub->DataFramesSent() - 1);
  // The answer to a status request comes after every frame on its way: once
  // a status of the stopped stream is in, they have all been taken in.
  SimHub::LineMarker(*hub, 0x0300).Mark();
  ASSERT_TRUE(pollUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !statuses.empty() && !statuses.back().streaming;
  }));

  std::vector<std::uint16_t> counters;
  for (int k = 0; k < 51; ++k) counters.push_back(stream.nextData().counter);
  EXPECT_EQ(counters.front(), lastCounter - 49);
  for (int k = 1; k < 50; ++k) EXPECT_EQ(counters[k], counters[k - 1] + 1) << k;
  EXPECT_EQ(counters[50], counters[49]) << "an empty queue gives the last record again";
}

TEST_F(StreamEndToEnd, StartAfterStopRepeatsTheExchange) {
  startSensor(kDkv6, image(2048));
  stream.start(portName(), false);
  ASSERT_TRUE(pollUntil([&] { return informationCount() == 1 && hub->DataFramesSent() >= 10; }));
  // Records are queued when the stream stops.
  const auto sent = hub->DataFramesSent();
  ASSERT_TRUE(pollUntil([&] { return hub->DataFramesSent() >= sent + 10; }));
  stream.stop();
  for (int k = 0; k < 3; ++k) {
    const QuenlithSensorData afterStop = stream.nextData();
    EXPECT_EQ(afterStop.counter, 0) << "a stopped stream still held records";
    EXPECT_EQ(afterStop.gyro, Eigen::Vector3d::Zero());
    EXPECT_EQ(afterStop.quaternion.coeffs(), Eigen::Vector4d(0, 0, 0, 1));
  }
  stream.start(portName(), false);
  ASSERT_TRUE(pollUntil([&] { return informationCount() == 2; }));
  EXPECT_EQ(informations[1].firmware, kDkv6);
}

TEST_F(StreamEndToEnd, FirmwareWithoutAFlashLayoutIsNeverReady) {
  startSensor("QN DKv3 inertial sensor Jan 4 2016", image(512));
  stream.start(portName(), false);
  std::string failure;
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (failure.empty() && Clock::now() < end) {
    try {
      stream.poll();
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
  }
  EXPECT_EQ(failure, "can't find a matching flash memory layout");
  EXPECT_EQ(informationCount(), 0u);
  EXPECT_FALSE(hub->Streaming());
}

}  // namespace

namespace {

TEST(IdentityClassification, McuBeforeGenerationAndCaseMatters) {
  using Lumeth::Core::SensorLibrary::IdentityClass;
  const struct {
    const char* text;
    IdentityClass::Kind kind;
    int generation;
  } cases[] = {
      {"QN DKv6 inertial sensor Jun 12 2019", IdentityClass::kSensor, 6},
      {"mCU bridge for DKv5 Feb 2 2018", IdentityClass::kMcu, -1},
      {"OEM-mCU", IdentityClass::kMcu, -1},
      {"DKv12 then DKv4", IdentityClass::kSensor, 1},
      {"DKv Jan 1 2020", IdentityClass::kNone, -1},
      {"dkv5 mcu", IdentityClass::kNone, -1},
      {"", IdentityClass::kNone, -1},
  };
  for (const auto& c : cases) {
    const IdentityClass found = Lumeth::Core::SensorLibrary::classifyIdentity(c.text);
    EXPECT_EQ(found.kind, c.kind) << c.text;
    EXPECT_EQ(found.generation, c.generation) << c.text;
  }
}

}  // namespace

namespace {

// The test answers for the sensor itself on a bare line.
TEST(SensorStreamOnALine, CutShortFlashBlockWaitsForAWholeOne) {
  using namespace Lumeth::Core::SensorLibrary;
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  PtyPeer line(scratch.Path(), 7);
  SensorStream stream;
  std::vector<QuenlithSensorInformation> informations;
  stream.informationCallback = [&](const QuenlithSensorInformation& information) {
    informations.push_back(information);
  };
  stream.start(line.PortName(), false);
  line.Drain();

  const SimHub::Bytes whole = image(2048);
  const std::string block(whole.begin(), whole.end());
  testing::internal::CaptureStdout();
  line.Write(StreamFrames::frame(0x0110, kDkv6 + '\0') + StreamFrames::frame(0x0510, block.substr(0, 1024)));
  std::string failure;
  const auto quietEnd = Clock::now() + std::chrono::milliseconds(800);
  while (Clock::now() < quietEnd && failure.empty()) {
    try {
      stream.poll();
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(informations.empty());
  EXPECT_NE(output.find("WARNING: ignoring a flash block of 1024 bytes, shorter than the 2048 bytes of its memory "
                        "layout\n"),
            std::string::npos)
      << output;

  line.Write(StreamFrames::frame(0x0510, block));
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (informations.empty() && Clock::now() < end) stream.poll();
  ASSERT_EQ(informations.size(), 1u);
  EXPECT_EQ(informations[0].fields.type, "DKv6");
  EXPECT_EQ(informations[0].fields.serial, kSerial);
  EXPECT_EQ(line.Read(Frames::kStreamOn.size), Frames::kStreamOn.text());
  stream.stop();
  unsetenv("QUENLITH_TTY_DIR");
}

}  // namespace
