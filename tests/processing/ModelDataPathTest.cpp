// A raw-data sensor's frames from a simulated hub through the loaded library
// and its sensor model to the host's callback.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ModelImages16.h"
#include "ScratchDirectory.h"
#include "SdkLibrary.h"
#include "TestFrames.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using namespace TestFrames;

constexpr int kCom = 9;

class Frames {
 public:
  static void Keep(void* frame, void* user) {
    auto& self = *static_cast<Frames*>(user);
    const auto* bytes = static_cast<const std::uint8_t*>(frame);
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.frames_.emplace_back(bytes, bytes + 16400);
  }
  std::vector<Bytes> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::vector<Bytes> frames_;
};

// What a raw-data model wrote into the block of a sensor at this position.
void ExpectBlock(const std::uint8_t* frame, std::size_t position, const ModelImages::Expected& expected,
                 const std::string& what) {
  constexpr double kTolerance = 1e-12;
  const std::size_t record = Record(position);
  for (std::size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(DoubleAt(frame, record + 8 * i), expected.uncalibrated[i], kTolerance) << what << ", " << i;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(DoubleAt(frame, record + 80 + 8 * i), expected.acceleration[i], kTolerance) << what << ", " << i;
    EXPECT_NEAR(DoubleAt(frame, record + 104 + 8 * i), expected.angularRate[i], kTolerance) << what << ", " << i;
    EXPECT_NEAR(DoubleAt(frame, record + 128 + 8 * i), expected.magneticField[i], kTolerance) << what << ", " << i;
  }
  EXPECT_NEAR(DoubleAt(frame, record + 152), expected.temperature, kTolerance) << what;
}

// At least `count` frames that a set of the simulated hub's kind hands to the
// host's callback; none when the set does not open. `whileOpen` gets the open
// set and the hub after the frames came, before the set closes.
using WhileOpen = std::function<void(SdkLibrary& sdk, int handle, SimHub::SimulatedHub& hub)>;
std::vector<Bytes> FramesOf(const SimHub::HubOptions& options, const std::string& deviceWords, std::size_t count,
                            const WhileOpen& whileOpen = {}) {
  ScratchDirectory scratch;
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  SimHub::SimulatedHub hub(options);
  hub.AttachPty(scratch.Path(), kCom);

  SdkLibrary sdk;
  // The simulated hub answers at once, but a busy machine may not let the
  // answer through within the default 100 ms, and the open would miss a sensor.
  const std::string parameters = "device=" + deviceWords + ";com=" + std::to_string(kCom) + ";transmissiontimeout=1000";
  const int handle = sdk.CreateDevice(1, "none.ini", parameters.c_str());
  if (handle < 0) return {};
  Frames frames;
  EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, &Frames::Keep, &frames));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (frames.Seen().size() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, nullptr, nullptr));
  if (whileOpen) whileOpen(sdk, handle, hub);
  EXPECT_TRUE(sdk.CloseDevice(handle));
  return frames.Seen();
}

// A dongle with one raw DKv6 sensor that holds the worked image and sends the
// worked frame, over and over.
SimHub::HubOptions WorkedDongle() {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::Dongle;
  options.sensors.push_back({"QN DKv6 sensor V3.01 Mar 12 2019", ModelImages::Image(ModelImages::Worked()), {}});
  options.dataFrameHook = [](SimHub::DataFrameContent& content) {
    content.blocks = ModelImages::WordBytes(ModelImages::WorkedWords());
  };
  return options;
}

TEST(ModelDataPath, DKv6OnADongleReachesTheHostCalibrated) {
  const auto seen = FramesOf(WorkedDongle(), "dongle raw", 3);
  ASSERT_GE(seen.size(), 3u);
  for (const auto& frame : seen) {
    const auto counter = U16At(frame.data(), 0);
    EXPECT_EQ(U32At(frame.data(), 4), 1u) << counter;
    ExpectBlock(frame.data(), 0, ModelImages::kWorkedFrame, "frame " + std::to_string(counter));
    const std::size_t record = Record(0);
    // The attitude correction after the model writes the orientation and its
    // time stamp, and nothing else.
    double squaredNorm = 0;
    for (std::size_t i = 0; i < 4; ++i) squaredNorm += std::pow(DoubleAt(frame.data(), record + 160 + 8 * i), 2);
    EXPECT_NEAR(squaredNorm, 1, 1e-12) << counter;
    EXPECT_TRUE(AllZero(frame.data(), record + 192, 456 - 192)) << counter;
    EXPECT_TRUE(AllZero(frame.data(), record + 460, 512 - 460)) << counter;
    EXPECT_TRUE(AllZero(frame.data(), Record(1), 31 * 512)) << counter;
  }
}

// A base-station hub's sensors are DKv3 sensors without a flash image: in raw
// format each is calibrated with the defaults (identity matrices, zero
// biases), so its block holds its words x 2^-15 x the unit factors 2, 1000
// and -2. Each position's words differ, so that blocks cannot trade places.
TEST(ModelDataPath, BsMainRawSensorsGiveTheirWordsInOutputUnits) {
  constexpr int kSensors = 20;
  const auto wordsOf = [](int position) {
    std::vector<std::int16_t> words = ModelImages16::WorkedWords();
    for (std::size_t i = 0; i < words.size(); ++i)
      words[i] = static_cast<std::int16_t>(words[i] + 97 * position - 13 * static_cast<int>(i));
    return words;
  };
  SimHub::HubOptions options;
  options.sensors.resize(kSensors);
  options.dataFrameHook = [&](SimHub::DataFrameContent& content) {
    content.blocks.clear();
    for (int p = 0; p < kSensors; ++p) {
      const Bytes block = ModelImages16::WordBytes(wordsOf(p));
      content.blocks.insert(content.blocks.end(), block.begin(), block.end());
    }
  };
  const auto seen = FramesOf(options, "bsmain raw", 3);
  ASSERT_GE(seen.size(), 3u);
  for (const auto& frame : seen) {
    const auto counter = U16At(frame.data(), 0);
    EXPECT_EQ(U32At(frame.data(), 4), (1u << kSensors) - 1) << counter;
    for (int p = 0; p < kSensors; ++p) {
      const auto w = wordsOf(p);
      ModelImages::Expected expected{};
      for (std::size_t i = 0; i < 9; ++i) expected.uncalibrated[i] = w[i] / 32768.0;
      for (std::size_t i = 0; i < 3; ++i) {
        expected.acceleration[i] = w[i] / 32768.0 * 2;
        expected.angularRate[i] = w[3 + i] / 32768.0 * 1000;
        expected.magneticField[i] = w[6 + i] / 32768.0 * -2;
      }
      expected.temperature = w[9] / 256.0;
      ExpectBlock(frame.data(), static_cast<std::size_t>(p), expected,
                  "frame " + std::to_string(counter) + ", position " + std::to_string(p));
    }
    EXPECT_TRUE(AllZero(frame.data(), Record(kSensors), (32 - kSensors) * 512)) << counter;
  }
}

// A DKv3 and a DKv4 sensor on a USB CU, calibrated from the images the hub
// read from them: the worked values (upper thermal block; the DKv4 one with
// its factory backups as deviation compensation). Loading completed the DKv3
// image's factory field matrix in the SDK's copy only: the sensor's own flash
// is not written.
TEST(ModelDataPath, DKv3AndDKv4OnAUsbCuReachTheHostCalibrated) {
  const auto addressed = [](Bytes image, std::uint8_t address) {
    image[6] = address;
    return image;
  };
  const Bytes dkv3Image = addressed(ModelImages16::Image(ModelImages16::Worked()), 3);
  const Bytes dkv4Image = addressed(ModelImages16::Image(ModelImages16::WorkedWithBackups()), 9);
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  options.sensors = {{"QN DKv3 IMU Sep 15 2016", dkv3Image, {}}, {"QN DKv4 IMU Jan 10 2018", dkv4Image, {}}};
  options.dataFrameHook = [](SimHub::DataFrameContent& content) {
    const Bytes block = ModelImages16::WordBytes(ModelImages16::WorkedWords());
    content.blocks = block;
    content.blocks.insert(content.blocks.end(), block.begin(), block.end());
  };
  const auto seen = FramesOf(options, "usbcu raw", 3, [&](SdkLibrary& sdk, int handle, SimHub::SimulatedHub& hub) {
    const auto exported = [&](int address) {
      Bytes image(1024);
      unsigned int length = static_cast<unsigned int>(image.size());
      if (!sdk.GetSensorFlash(handle, address, reinterpret_cast<char*>(image.data()), &length)) return Bytes{};
      image.resize(length);
      return image;
    };
    Bytes completed = dkv3Image;
    std::copy_n(dkv3Image.begin() + 74, 18, completed.begin() + 366);
    EXPECT_EQ(exported(3), completed);
    EXPECT_EQ(exported(9), dkv4Image);
    EXPECT_EQ(hub.Flash(0), dkv3Image);
  });
  ASSERT_GE(seen.size(), 3u);
  for (const auto& frame : seen) {
    const auto counter = U16At(frame.data(), 0);
    EXPECT_EQ(U32At(frame.data(), 4), 0b11u) << counter;
    ExpectBlock(frame.data(), 0, ModelImages16::kWorkedFrame, "DKv3, frame " + std::to_string(counter));
    ExpectBlock(frame.data(), 1, ModelImages16::kWorkedFrameWithBackups, "DKv4, frame " + std::to_string(counter));
  }
}

// The emulator opens its set with calibration disabled: its 20 DKv3 models
// read no words and only convert what the host's buffer holds in each
// sensor's triples to the output units (x 2, x 1000, x -2) before their
// attitude correction; the rest of their blocks and the blocks of the other
// positions stay as the host gave them.
TEST(ModelDataPath, TheEmulatorsModelsConvertTheBuffersValues) {
  SdkLibrary sdk;
  const int handle = sdk.CreateDevice(1, "none.ini", "device=emulator");
  ASSERT_GE(handle, 0);

  auto raw = DataFrame(0x1234, 4000, 0xFFFFF, 20 * 20);
  for (int p = 0; p < 20; ++p) PutWords(raw, 14 + 20 * static_cast<std::size_t>(p), ModelImages16::WorkedWords());
  Seal(raw);
  std::vector<std::uint8_t> buffer(16400, 0);
  std::copy(raw.begin(), raw.end(), buffer.begin());
  // Block 0's triples lie inside the raw frame; the others get values of their own.
  for (std::size_t p = 1; p < 32; ++p)
    for (std::size_t i = 0; i < 9; ++i) {
      const double value = static_cast<double>(p) + 0.125 * static_cast<double>(i) - 3.5;
      std::memcpy(buffer.data() + Record(p) + 80 + 8 * i, &value, sizeof value);
    }
  const std::vector<std::uint8_t> given = buffer;

  ASSERT_TRUE(sdk.ProcessData(handle, buffer.data()));
  EXPECT_TRUE(sdk.CloseDevice(handle));
  EXPECT_EQ(U16At(buffer.data(), 0), 0x1234);
  EXPECT_EQ(U32At(buffer.data(), 4), 0xFFFFFu);
  constexpr double kFactors[3] = {2, 1000, -2};
  for (std::size_t p = 0; p < 32; ++p) {
    for (std::size_t i = 0; i < 9; ++i) {
      const std::size_t at = Record(p) + 80 + 8 * i;
      const double expected = p < 20 ? DoubleAt(given.data(), at) * kFactors[i / 3] : DoubleAt(given.data(), at);
      EXPECT_EQ(DoubleAt(buffer.data(), at), expected) << "position " << p << ", value " << i;
    }
    // Around the triples and what the attitude correction after each model
    // writes (the orientation at 160, its time stamp at 456).
    const std::pair<std::size_t, std::size_t> kept[] = {{0, 80}, {152, 160}, {192, 456}, {460, 512}};
    for (const auto& [from, to] : kept)
      EXPECT_TRUE(std::equal(buffer.begin() + static_cast<std::ptrdiff_t>(Record(p) + from),
                             buffer.begin() + static_cast<std::ptrdiff_t>(Record(p) + to),
                             given.begin() + static_cast<std::ptrdiff_t>(Record(p) + from)))
          << "position " << p << ", bytes " << from << " to " << to;
    if (p >= 20) {
      EXPECT_TRUE(std::equal(buffer.begin() + static_cast<std::ptrdiff_t>(Record(p)),
                             buffer.begin() + static_cast<std::ptrdiff_t>(Record(p) + 512),
                             given.begin() + static_cast<std::ptrdiff_t>(Record(p))))
          << "position " << p;
    }
  }
}

// Behind a USB CU hub, the sensor of every raw-data model gets the attitude of
// the PI correction that follows the model: a unit quaternion, stamped.
TEST(ModelDataPath, EverySensorOfAModelGetsItsOrientation) {
  const std::vector<const char*> identities{"QN DKv5 sensor Jan 10 2018", "QN DKv6 sensor V3.01 Mar 12 2019",
                                            "QN DKv7m2 Feb 24 2020"};  // slots 0, 1, 2
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  for (const char* identity : identities)
    options.sensors.push_back({identity, ModelImages::Image(ModelImages::Worked()), {}});
  const auto seen = FramesOf(options, "usbcu raw", 5);
  ASSERT_GE(seen.size(), 5u);
  std::vector<std::uint32_t> lastStamp(identities.size(), 0);
  for (const auto& frame : seen) {
    ASSERT_EQ(U32At(frame.data(), 4), 0b111u);
    for (std::size_t k = 0; k < identities.size(); ++k) {
      const std::size_t record = Record(k);
      double squaredNorm = 0;
      for (std::size_t i = 0; i < 4; ++i) squaredNorm += std::pow(DoubleAt(frame.data(), record + 160 + 8 * i), 2);
      EXPECT_NEAR(squaredNorm, 1, 1e-12) << identities[k];
      const auto stamp = U32At(frame.data(), record + 456);
      EXPECT_GE(stamp, lastStamp[k]) << identities[k];
      lastStamp[k] = stamp;
    }
  }
}

Eigen::Quaterniond AttitudeOf(const Bytes& frame) {
  const std::size_t at = Record(0) + 160;  // x, y, z, w
  return Eigen::Quaterniond(DoubleAt(frame.data(), at + 24), DoubleAt(frame.data(), at), DoubleAt(frame.data(), at + 8),
                            DoubleAt(frame.data(), at + 16));
}

// How many frames of (0, 0, 0, 1) came before each attitude that follows them;
// every other quaternion must be the expected attitude.
std::vector<std::size_t> Alignments(const std::vector<Bytes>& frames, const Eigen::Quaterniond& expected) {
  std::size_t identities = 0;  // in a row
  std::vector<std::size_t> alignments;
  for (const auto& frame : frames) {
    const Eigen::Quaterniond q = AttitudeOf(frame);
    if (q.coeffs() == Eigen::Vector4d(0, 0, 0, 1)) {
      ++identities;
      continue;
    }
    EXPECT_LE(q.angularDistance(expected), 1e-9)
        << "frame " << U16At(frame.data(), 0) << ": q = " << q.coeffs().transpose();
    if (identities > 0) alignments.push_back(identities);
    identities = 0;
  }
  return alignments;
}

// With "processing" holding kalman the worked frame's calibrated values go on
// to the Kalman filter. Held still, they put gravity at (0, 0, -1) and gravity
// x field at (1, 0, 0) under the attitude below (mekf_poses.py); a turn of 151
// deg, which the alignment finds exactly. A reset of mode 2 configures the
// filter again: exactly 100 frames of (0, 0, 0, 1) follow, then the attitude.
TEST(ModelDataPath, DKv6WithTheKalmanFilterGetsItsAttitudeAfter100Frames) {
  const Eigen::Quaterniond expected(0.248660008604513, 0.8067382145951327, 0.5203822923135732, -0.1286231825105102);
  Frames afterReset;
  // The keys after the device words ride along in the same parameter text.
  const auto seen = FramesOf(WorkedDongle(), "dongle raw;processing=kalman;Frequency=100", 150,
                             [&](SdkLibrary& sdk, int handle, SimHub::SimulatedHub&) {
                               EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, &Frames::Keep, &afterReset));
                               EXPECT_TRUE(sdk.Reset(handle, 2, 0));
                               const auto deadline = std::chrono::steady_clock::now() + 20s;
                               while (afterReset.Seen().size() < 150 && std::chrono::steady_clock::now() < deadline)
                                 std::this_thread::sleep_for(5ms);
                               EXPECT_TRUE(sdk.SetReceiveDataCallback(handle, nullptr, nullptr));
                             });
  ASSERT_GE(seen.size(), 150u);
  // The first alignment may have begun before the callback was set.
  const auto first = Alignments(seen, expected);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_LE(first[0], 100u);

  ASSERT_GE(afterReset.Seen().size(), 150u);
  EXPECT_EQ(Alignments(afterReset.Seen(), expected), std::vector<std::size_t>{100})
      << "frames of (0, 0, 0, 1) after the reset";
}

}  // namespace
