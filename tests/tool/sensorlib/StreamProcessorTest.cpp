#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PtyPeer.h"
#include "ScratchDirectory.h"
#include "StoredFrames.h"
#include "StreamFrames.h"
#include "StreamProcessor.h"
#include "SynchronousSerialConnection.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;

std::string measurement(std::uint16_t counter) {
  std::vector<std::uint16_t> words(15, 0);
  words[0] = counter;
  words[1] = 0x4000;
  words[11] = static_cast<std::uint16_t>(counter * 3);
  return StreamFrames::wordFrame(0x0213, words);
}

// No AA 55 pair anywhere, nor with the AA of a frame that follows.
const std::string kGarbage("\x55\xAA\x00\xAA\x01\x02\x03\x55\x04\xAA\x00", 11);

// A started processor reading COM port 4, a pseudo-terminal the test writes to.
class Parsing : public ::testing::Test {
 protected:
  Parsing() : line(scratch.Path(), 4) {
    setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
    processor.sensorDataCallback = [this](const QuenlithSensorData& d) { data.push_back(d); };
    processor.flashBlockCallback = [this](const std::string& block) { blocks.push_back(block); };
    processor.invalidHeaderCallback = [this](std::uint32_t, std::uint16_t expected) {
      EXPECT_EQ(expected, 0x55AA);
      ++invalidHeaders;
    };
    processor.start(line.PortName());
  }
  ~Parsing() override {
    processor.closeConnection();
    unsetenv("QUENLITH_TTY_DIR");
  }

  // Advances until the condition holds; gives up after a generous bound.
  bool advanceUntil(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      processor.advance();
    }
    return true;
  }

  ScratchDirectory scratch;
  PtyPeer line;
  StreamProcessor processor;
  std::vector<QuenlithSensorData> data;
  std::vector<std::string> blocks;
  int invalidHeaders = 0;
};

TEST_F(Parsing, FrameAfterGarbageIsFoundWhereverTheReadsSplitIt) {
  // Reads take ten bytes at a time, so g garbage bytes put the read boundaries
  // at every position of the frame in turn, header included.
  for (std::uint16_t g = 0; g <= 10; ++g) {
    const int invalidBefore = invalidHeaders;
    line.Write(kGarbage.substr(0, g) + measurement(g));
    ASSERT_TRUE(advanceUntil([&] { return data.size() == g + 1u; })) << "garbage " << g;
    EXPECT_EQ(data.back().counter, g);
    EXPECT_EQ(data.back().gyro.x(), g * 3 / 1024.0);
    EXPECT_EQ(invalidHeaders - invalidBefore, g) << "one invalid header per garbage byte";
  }
}

TEST_F(Parsing, FrameSplitAcrossSeparateArrivals) {
  const std::string frame = measurement(9);
  for (const std::size_t split : {1u, 3u, 4u, 5u, 20u, 37u}) {
    data.clear();
    line.Write(frame.substr(0, split));
    // Take the first part in and wait for more.
    const int waiting = split < 4 ? StreamProcessor::kReadSerialData : StreamProcessor::kReadMoreSerialData;
    ASSERT_TRUE(advanceUntil([&] { return processor.currentState() == waiting; })) << split;
    processor.advance();  // one read that finds nothing more
    EXPECT_TRUE(data.empty());
    line.Write(frame.substr(split));
    ASSERT_TRUE(advanceUntil([&] { return data.size() == 1; })) << split;
    EXPECT_EQ(data[0].counter, 9);
  }
}

TEST_F(Parsing, DamagedFramesAreSkipped) {
  const std::string tooLong("\xAA\x55\x11\x08", 4);  // length 2065
  const std::string tooShort("\xAA\x55\x07\x00", 4);
  line.Write(StreamFrames::frame(0x0213, StreamFrames::words(std::vector<std::uint16_t>(15, 1)), 1) + tooLong +
             tooShort + measurement(5) + measurement(6));
  ASSERT_TRUE(advanceUntil([&] { return data.size() == 2; }));
  EXPECT_EQ(data[0].counter, 5);
  EXPECT_EQ(data[1].counter, 6);
}

TEST_F(Parsing, LargestFrameArrivesWithTrafficBehindIt) {
  std::string payload(kMaximumFrameLength - 8, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + 1);
  const std::string flash = StreamFrames::frame(0x0510, payload);
  ASSERT_EQ(flash.size(), kMaximumFrameLength);
  std::string traffic;
  for (std::uint16_t counter = 1; counter <= 30; ++counter) traffic += measurement(counter);
  line.Write(flash + traffic);
  ASSERT_TRUE(advanceUntil([&] { return data.size() == 30; }));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], payload);
  for (std::uint16_t k = 0; k < 30; ++k) EXPECT_EQ(data[k].counter, k + 1);
}

std::string flashAnswer(std::size_t payloadBytes) {
  std::string payload(payloadBytes, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 5);
  return StreamFrames::frame(0x0510, payload);
}

std::string measurements(std::uint16_t first, std::uint16_t last) {
  std::string bytes;
  for (std::uint16_t counter = first; counter <= last; ++counter) bytes += measurement(counter);
  return bytes;
}

std::vector<std::uint16_t> counterRange(std::uint16_t first, std::uint16_t last) {
  std::vector<std::uint16_t> counters;
  for (std::uint16_t counter = first; counter <= last; ++counter) counters.push_back(counter);
  return counters;
}

TEST_F(Parsing, EveryValidFrameOnceWhateverSurroundsIt) {
  std::vector<std::string> identities;
  processor.identityCallback = [&](const std::string& text) { identities.push_back(text); };

  const std::string m1 = measurement(1);
  // A measurement of 31 payload bytes: length 39, its spare byte outside the checksum.
  std::string oddPayload = StreamFrames::words({2, 0x4000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0});
  oddPayload.push_back('\x5A');
  const std::string odd = StreamFrames::frame(0x0213, oddPayload);
  const std::string badChecksum = StreamFrames::frame(0x0213, StreamFrames::words(std::vector<std::uint16_t>(15, 7)), 1);

  const struct {
    const char* name;
    std::vector<std::string> arrivals;  // each written once the processor has read the one before
    std::vector<std::uint16_t> counters;
    std::vector<std::size_t> blockSizes;
    std::vector<std::string> identities;
    int invalidHeaders;
  } cases[] = {
      {"garbage before a frame", {kGarbage + m1}, {1}, {}, {}, 11},
      {"header split across reads", {m1.substr(0, 2), m1.substr(2) + measurement(2)}, {1, 2}, {}, {}, 0},
      {"body split across reads", {m1.substr(0, 6), m1.substr(6, 17), m1.substr(23)}, {1}, {}, {}, 0},
      {"bad checksum", {badChecksum + m1}, {1}, {}, {}, 0},
      {"length 7", {std::string("\xAA\x55\x07\x00", 4) + m1}, {1}, {}, {}, 0},
      {"length 8", {StreamFrames::frame(0x0110, "") + m1}, {1}, {}, {""}, 0},
      {"length 2064", {flashAnswer(2056) + m1}, {1}, {2056}, {}, 0},
      {"length 2065", {std::string("\xAA\x55\x11\x08", 4) + m1}, {1}, {}, {}, 0},
      {"odd length", {odd + m1}, {2, 1}, {}, {}, 0},
      {"false sync inside a header", {std::string("\xAA", 1) + m1 + std::string("\x55\xAA", 2) + measurement(2)},
       {1, 2}, {}, {}, 3},
      {"flash answer then a continuous stream",
       {flashAnswer(2048) + measurements(1, 20), measurements(21, 40), measurements(41, 60)},
       counterRange(1, 60), {2048}, {}, 0},
  };

  // Until a read in a reading state finds nothing: what came is parsed as far as it goes.
  const auto settle = [&] {
    const auto idle = [&] {
      const int state = processor.currentState();
      return (state == StreamProcessor::kReadSerialData || state == StreamProcessor::kReadMoreSerialData) &&
             line.Waiting() == 0 && SynchronousSerialConnection::instance()->accumulatedSize() == 0;
    };
    for (int steps = 0; steps < 100000; ++steps) {
      const bool before = idle();
      processor.advance();
      if (before && idle()) return true;
    }
    return false;
  };
  // Each case waits for nothing but its own reads.
  SynchronousSerialConnection::instance()->setReadDeadline(std::chrono::milliseconds(20));
  for (const auto& c : cases) {
    data.clear();
    blocks.clear();
    identities.clear();
    invalidHeaders = 0;
    for (const auto& arrival : c.arrivals) {
      line.Write(arrival);
      ASSERT_TRUE(settle()) << c.name;
    }
    ASSERT_TRUE(advanceUntil([&] { return data.size() >= c.counters.size(); })) << c.name;
    ASSERT_TRUE(settle()) << c.name;  // and nothing more comes out

    std::vector<std::uint16_t> counters;
    for (const auto& record : data) counters.push_back(record.counter);
    EXPECT_EQ(counters, c.counters) << c.name;
    std::vector<std::size_t> blockSizes;
    for (const auto& block : blocks) blockSizes.push_back(block.size());
    EXPECT_EQ(blockSizes, c.blockSizes) << c.name;
    EXPECT_EQ(identities, c.identities) << c.name;
    EXPECT_EQ(invalidHeaders, c.invalidHeaders) << c.name;
  }
}

TEST_F(Parsing, ThrowingEntryActionRestartsTheMachine) {
  bool thrown = false;
  processor.invalidHeaderCallback = [&](std::uint32_t, std::uint16_t) {
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("invalid header handler failed");
    }
  };
  testing::internal::CaptureStdout();
  line.Write(kGarbage.substr(0, 1) + measurement(3));
  const bool parsed = advanceUntil([&] { return data.size() == 1; });
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(thrown);
  ASSERT_TRUE(parsed) << "parsing must go on after the failed entry action";
  EXPECT_EQ(data[0].counter, 3);
  EXPECT_NE(output.find("ERROR: invalid header handler failed\n"), std::string::npos) << output;
}

TEST_F(Parsing, WithoutTrafficEachAdvanceWaitsInTheReadingState) {
  EXPECT_EQ(processor.currentState(), StreamProcessor::kReadSerialData);
  processor.advance();
  processor.advance();
  EXPECT_EQ(processor.currentState(), StreamProcessor::kReadSerialData);
}

TEST_F(Parsing, OnlyOneThreadMayAdvance) {
  processor.advance();
  std::string message;
  std::thread other([&] {
    try {
      processor.advance();
    } catch (const std::runtime_error& error) {
      message = error.what();
    }
  });
  other.join();
  EXPECT_EQ(message, "trying to advance the stream processor from multiple threads");
}

TEST_F(Parsing, SendsStoredFramesAsTheyStand) {
  processor.sendCommand(Frames::kStreamOff.text());
  EXPECT_EQ(line.Read(Frames::kStreamOff.size), Frames::kStreamOff.text());
}

TEST_F(Parsing, ClosingDropsBufferedBytesAndStartOpensAgain) {
  const std::string frame = measurement(1);
  line.Write(frame.substr(0, 15));
  ASSERT_TRUE(advanceUntil([&] { return processor.currentState() == StreamProcessor::kReadMoreSerialData; }));
  processor.closeConnection();
  processor.advance();  // no trigger left: nothing happens
  processor.start(line.PortName());
  line.Write(measurement(2));
  ASSERT_TRUE(advanceUntil([&] { return data.size() == 1; }));
  EXPECT_EQ(data[0].counter, 2);
}

TEST(StreamProcessorIdle, IgnoresAdvanceAndSendBeforeStart) {
  StreamProcessor processor;
  EXPECT_NO_THROW(processor.advance());
  EXPECT_EQ(processor.currentState(), -1);
  testing::internal::CaptureStdout();
  processor.sendCommand(Frames::kIdentify.text());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: trying to send a command to the device without a valid serial connection. Make the stream "
            "processor was initialized correctly before calling this method\n");
}

TEST(StreamProcessorIdle, StartOnAMissingPortFails) {
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  StreamProcessor processor;
  try {
    processor.start("\\\\.\\COM5");
    ADD_FAILURE() << "started on a missing port";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("can't open serial connection - open", 0), 0u) << error.what();
  }
  unsetenv("QUENLITH_TTY_DIR");
}

}  // namespace
