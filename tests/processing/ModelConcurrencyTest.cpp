// A host reloading a sensor model's calibration while the stream thread
// processes frames through the hub's manager.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ModelImages.h"
#include "ModelImages16.h"
#include "TestFrames.h"
#include "TestHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

using namespace std::chrono_literals;
using Processing::SdkFrame;
using Processing::SensorRecord;

// Reloads the model of a sensor between its two images while frames stream.
void ReloadWhileStreaming(const std::string& identity, const ModelImages::Bytes& oldImage,
                          const ModelImages::Bytes& newImage, const std::vector<std::int16_t>& words) {
  const auto sensor = std::make_shared<Communication::Device::QN::CSensor>(identity, 0, 14, 20, 0,
                                                                           ModelImages::Bytes{}, oldImage);
  const auto hub = std::make_shared<TestHub>();
  hub->Add(sensor);
  Processing::Manager::QN::CManager manager(hub, {});

  auto raw = TestFrames::DataFrame(1, 0, 1, 20);
  TestFrames::PutWords(raw, 14, words);
  TestFrames::Seal(raw);
  const auto resultOf = [&](const ModelImages::Bytes& image) {
    sensor->SetFlash(image);
    manager.Configure({}, nullptr);
    auto frame = std::make_unique<SdkFrame>();
    EXPECT_TRUE(manager.Process(raw.data(), frame.get()));
    return frame->sensors[0];
  };
  const SensorRecord newResult = resultOf(newImage);
  const SensorRecord oldResult = resultOf(oldImage);
  // What the model writes; the attitude correction after it goes on turning.
  constexpr std::size_t kModelBytes = offsetof(SensorRecord, quaternion);
  ASSERT_NE(std::memcmp(&oldResult, &newResult, kModelBytes), 0);

  std::atomic<bool> stop{false};
  std::atomic<long> delivered{0};
  long oldSeen = 0;
  long newSeen = 0;
  long otherSeen = 0;
  std::thread stream([&] {
    auto frame = std::make_unique<SdkFrame>();
    while (!stop.load()) {
      std::memset(frame.get(), 0, sizeof(SdkFrame));
      if (!manager.Process(raw.data(), frame.get())) continue;
      const auto& record = frame->sensors[0];
      if (std::memcmp(&record, &oldResult, kModelBytes) == 0)
        ++oldSeen;
      else if (std::memcmp(&record, &newResult, kModelBytes) == 0)
        ++newSeen;
      else
        ++otherSeen;
      ++delivered;
    }
  });

  constexpr int kReloads = 1000;
  for (int reload = 0; reload < kReloads; ++reload) {
    // As after a flash write: the sensor holds the new image, the models reload it.
    sensor->SetFlash(reload % 2 == 0 ? newImage : oldImage);
    manager.Configure({}, nullptr);
    // Let frames through between reloads.
    const long before = delivered.load();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (delivered.load() == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }
  stop = true;
  stream.join();

  EXPECT_EQ(otherSeen, 0) << "frames calibrated with neither calibration";
  EXPECT_GE(oldSeen + newSeen, kReloads);
  EXPECT_GT(oldSeen, 0);
  EXPECT_GT(newSeen, 0);
}

// Every frame the manager hands on was calibrated with one whole calibration,
// the one before a reload or the one after it: never a mixture, never the
// defaults a reload starts from.
TEST(ModelConcurrency, EveryFrameSeesTheOldOrTheNewCalibration) {
  auto changed = ModelImages::Worked();
  changed.factoryAccBiases = ModelImages::Words3{-1006632, 2013265, 671088};
  changed.magOffsets = {-6710886, 4026532, 0};
  changed.thermal[2].c0 = -671088;
  const struct {
    const char* identity;
    ModelImages::Bytes oldImage, newImage;
    std::vector<std::int16_t> words;
  } cases[] = {
      {"QN DKv6", ModelImages::Image(ModelImages::Worked()), ModelImages::Image(changed), ModelImages::WorkedWords()},
      // A DKv3 load also completes the sensor's image as it goes.
      {"QN DKv3", ModelImages16::Image(ModelImages16::Worked()),
       ModelImages16::Image(ModelImages16::WorkedWithBackups()), ModelImages16::WorkedWords()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identity);
    ReloadWhileStreaming(c.identity, c.oldImage, c.newImage, c.words);
  }
}

}  // namespace
