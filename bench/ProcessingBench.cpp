// Data frames of a base-station hub through the hub manager, as the stream
// thread handles them: zero the output frame, process.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>
#include <boost/property_tree/ptree.hpp>

#include "ModelImages.h"
#include "ModelImages16.h"
#include "TestHub.h"
#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/manager/ChainFactory.h"
#include "processing/manager/QnManager.h"
#include "quenlith_sdk_lite.h"

// Every heap allocation in this program is counted, to show that a frame makes
// none: through operator new, and through malloc for whatever is built into
// this program (Eigen's dynamic matrices allocate there), which the link wraps.
// The replaced new and delete are malloc and free underneath, which the
// compiler cannot see where it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long long> g_allocations{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  ++g_allocations;
  void* memory = alignment <= alignof(std::max_align_t)
                     ? std::malloc(size == 0 ? 1 : size)
                     : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (!memory) throw std::bad_alloc();
  return memory;
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return Allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* memory, std::size_t size);
void* __wrap_malloc(std::size_t size) {
  ++g_allocations;
  return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  ++g_allocations;
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* memory, std::size_t size) {
  ++g_allocations;
  return __real_realloc(memory, size);
}
}

namespace {

using Bytes = std::vector<std::uint8_t>;

// Over the timed loop: heap allocations per frame, processing time per sensor
// and frame, and the share of one core that a 1 kHz stream of such frames takes.
void Report(benchmark::State& state, long long allocations, std::chrono::steady_clock::duration elapsed,
            int sensors) {
  const auto frames = static_cast<double>(state.iterations());
  const double frameSeconds = std::chrono::duration<double>(elapsed).count() / frames;
  state.counters["allocations_per_frame"] = static_cast<double>(allocations) / frames;
  state.counters["ns_per_sensor_frame"] = frameSeconds * 1e9 / sensors;
  state.counters["core_share_at_1kHz"] = frameSeconds * 1000.0;
}

// A data frame with `sensors` blocks of `blockBytes` from byte 14, mask full.
Bytes DataFrame(int sensors, std::size_t blockBytes, const Bytes& block) {
  const std::uint32_t mask = sensors == 32 ? 0xFFFFFFFFu : (1u << sensors) - 1;
  auto raw = TestFrames::DataFrame(1, 12115, mask, blockBytes * static_cast<std::size_t>(sensors));
  for (int p = 0; p < sensors; ++p)
    std::copy(block.begin(), block.end(), raw.begin() + 14 + static_cast<std::ptrdiff_t>(blockBytes) * p);
  TestFrames::Seal(raw);
  return raw;
}

// Runs one frame's work per iteration of the timed loop, then reports.
template <class OneFrame>
void TimeFrames(benchmark::State& state, int sensors, OneFrame&& oneFrame) {
  const long long allocationsBefore = g_allocations.load();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(oneFrame());
    benchmark::ClobberMemory();
  }
  Report(state, g_allocations.load() - allocationsBefore, std::chrono::steady_clock::now() - start, sensors);
}

void RunFrames(benchmark::State& state, Processing::Manager::QN::CManager& manager, const Bytes& raw, int sensors) {
  auto frame = std::make_unique<Processing::SdkFrame>();
  TimeFrames(state, sensors, [&] {
    std::memset(frame.get(), 0, sizeof *frame);
    return manager.Process(raw.data(), frame.get());
  });
}

void HubManagerQuatFrame(benchmark::State& state) {
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < 20; ++p) hub->Add("DKv3", 1, 14 + 10 * p, 10, p);
  Processing::Manager::QN::CManager manager(hub, {});
  manager.Configure({}, nullptr);
  Bytes block(10);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  RunFrames(state, manager, DataFrame(20, 10, block), 20);
}
BENCHMARK(HubManagerQuatFrame);

// Raw sensors of one generation calibrated from a full image, every step on,
// each followed by its attitude stage: the PI correction by default, the Kalman
// filter with "processing" holding kalman (timed once it tracks: the first 100
// frames after Configure align).
void RunModels(benchmark::State& state, const char* identity, const Bytes& image, const Bytes& words, int sensors,
               const char* processing = "") {
  boost::log::core::get()->set_logging_enabled(false);
  boost::property_tree::ptree configuration;
  configuration.put("processing", processing);
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < sensors; ++p) hub->Add(identity, 0, 14 + 20 * p, 20, p, image);
  Processing::Manager::QN::CManager manager(hub, configuration);
  manager.Configure(configuration, nullptr);
  const Bytes raw = DataFrame(sensors, 20, words);
  auto frame = std::make_unique<Processing::SdkFrame>();
  for (int n = 0; n < 200; ++n) manager.Process(raw.data(), frame.get());
  RunFrames(state, manager, raw, sensors);
}

void HubManagerDKv6Frame(benchmark::State& state, const char* processing) {
  RunModels(state, "QN DKv6 Mar 12 2019", ModelImages::Image(ModelImages::Worked()),
            ModelImages::WordBytes(ModelImages::WorkedWords()), 32, processing);
}
BENCHMARK_CAPTURE(HubManagerDKv6Frame, pi, "");
BENCHMARK_CAPTURE(HubManagerDKv6Frame, kalman, "kalman");

// The Kalman stage alone, as the models hand it 32 sensors' records: each
// sensor still in a pose of its own but for a slow tilt, so that updates come
// every 10 frames as while tracking at rest.
void KalmanStage32Sensors(benchmark::State& state) {
  constexpr int kSensors = 32;
  boost::log::core::get()->set_logging_enabled(false);
  std::vector<std::shared_ptr<Processing::CProcessing>> stages;
  for (int p = 0; p < kSensors; ++p) {
    const auto sensor = std::make_shared<Communication::Device::QN::CSensor>("QN DKv6 Mar 12 2019", 0, 14, 20, p,
                                                                            Bytes{}, Bytes{});
    stages.push_back(Processing::Manager::QN::CreateCorrection("kalman", sensor));
  }
  auto frame = std::make_unique<Processing::SdkFrame>();
  const auto fill = [&](long n) {
    for (int k = 0; k < kSensors; ++k) {
      auto& record = frame->sensors[k];
      const double tilt = 0.02 * k + 1e-4 * static_cast<double>(n % 1000);  // rad
      const double values[9] = {0, std::sin(tilt), std::cos(tilt), 0.05 * k, 0.3, -0.4, 0.01, 0, 0};
      std::copy(values, values + 3, record.acceleration);
      std::copy(values + 3, values + 6, record.magneticField);
      std::copy(values + 6, values + 9, record.angularRate);
    }
  };
  const auto process = [&] {
    for (int k = 0; k < kSensors; ++k) stages[static_cast<std::size_t>(k)]->Process(nullptr, &frame->sensors[k]);
  };
  long n = 0;
  for (; n < 1000; ++n) {  // past the alignment
    fill(n);
    process();
  }

  TimeFrames(state, kSensors, [&] {
    fill(n++);
    process();
    return frame->sensors[0].quaternion[3];
  });
}
BENCHMARK(KalmanStage32Sensors);

void HubManagerDKv3Frame(benchmark::State& state) {
  RunModels(state, "QN DKv3 Sep 15 2016", ModelImages16::Image(ModelImages16::WorkedWithBackups()),
            ModelImages16::WordBytes(ModelImages16::WorkedWords()), 20);
}
BENCHMARK(HubManagerDKv3Frame);

// The emulator's 20 DKv3 sensors through the library's export, as a host
// drives it: the raw frame copied into a cleared buffer, then processed in place.
// The emulator runs its models with calibration disabled.
void EmulatorDKv3Frame(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  const long long beforeOpen = g_allocations.load();
  const int handle = iQuenlith_SDK_Lite_CreateDevice(1, "none.ini", "device=emulator");
  if (handle < 0 || g_allocations.load() == beforeOpen) {
    state.SkipWithError("no emulator, or the library's allocations are not counted");
    return;
  }
  const Bytes raw = DataFrame(20, 20, ModelImages16::WordBytes(ModelImages16::WorkedWords()));
  auto buffer = std::make_unique<Processing::SdkFrame>();
  auto* bytes = reinterpret_cast<std::uint8_t*>(buffer.get());
  TimeFrames(state, 20, [&] {
    std::memset(bytes, 0, sizeof *buffer);
    std::memcpy(bytes, raw.data(), raw.size());
    return iQuenlith_SDK_Lite_ProcessData(handle, bytes);
  });
  iQuenlith_SDK_Lite_CloseDevice(handle);
}
BENCHMARK(EmulatorDKv3Frame);

}  // namespace
