// The Kalman attitude stage of 32 sensors, one frame after another, as the
// stream thread runs it behind the sensor models. A frame of a 1 kHz hub leaves
// the stage 5 % of its period: 50 us for all 32 sensors on one core.
//
// Every allocation is counted, through operator new and (for anything built
// into this program, Eigen's dynamic matrices included) malloc: a frame must
// make none.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/manager/ChainFactory.h"

namespace {

std::atomic<long> allocations{0};

void* Allocate(std::size_t size, std::size_t alignment) {
  ++allocations;
  void* block = alignment <= alignof(std::max_align_t)
                    ? std::malloc(size ? size : 1)
                    : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (!block) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return Allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __wrap_malloc(std::size_t size) {
  ++allocations;
  return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  ++allocations;
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
  ++allocations;
  return __real_realloc(block, size);
}
}

namespace {

constexpr int kSensors = 32;
constexpr double kFramePeriodNs = 1e6;  // 1 kHz

void MekfStage32Sensors(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  std::vector<std::shared_ptr<Processing::CProcessing>> stages;
  for (int position = 0; position < kSensors; ++position) {
    using Communication::Device::QN::Bytes;
    const auto sensor = std::make_shared<Communication::Device::QN::CSensor>("DKv6 Sep 15 2017", 0, 14, 20, position,
                                                                            Bytes{}, Bytes{});
    stages.push_back(Processing::Manager::QN::CreateCorrection("kalman", sensor));
    if (!stages.back()) {
      state.SkipWithError("no Kalman stage");
      return;
    }
  }
  auto frame = std::make_unique<Processing::SdkFrame>();

  // Each sensor still in a pose of its own, turning slowly, so that updates
  // come every 10 frames as while tracking at rest.
  auto fill = [&](long n) {
    for (int k = 0; k < kSensors; ++k) {
      auto& record = frame->sensors[k];
      const double tilt = 0.02 * k + 1e-4 * static_cast<double>(n % 1000);
      record.acceleration[0] = 0;
      record.acceleration[1] = std::sin(tilt);
      record.acceleration[2] = std::cos(tilt);
      record.magneticField[0] = 0.05 * k;
      record.magneticField[1] = 0.3;
      record.magneticField[2] = -0.4;
      record.angularRate[0] = 0.01;
      record.angularRate[1] = 0;
      record.angularRate[2] = 0;
    }
  };
  auto process = [&]() {
    for (int k = 0; k < kSensors; ++k) stages[static_cast<std::size_t>(k)]->Process(nullptr, &frame->sensors[k]);
  };

  long n = 0;
  for (; n < 1000; ++n) {  // past the alignment
    fill(n);
    process();
  }

  const long before = allocations.load();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    fill(n++);
    process();
    benchmark::DoNotOptimize(frame->sensors[0].quaternion);
    benchmark::ClobberMemory();
  }
  const double elapsedNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  const long made = allocations.load() - before;
  if (made != 0) state.SkipWithError("the stage allocates while processing frames");

  const double perFrameNs = elapsedNs / static_cast<double>(state.iterations());
  state.counters["allocations"] = static_cast<double>(made);
  state.counters["ns_per_sensor_frame"] = perFrameNs / kSensors;
  state.counters["percent_of_1kHz_frame"] = 100 * perFrameNs / kFramePeriodNs;
  boost::log::core::get()->set_logging_enabled(true);
}
BENCHMARK(MekfStage32Sensors);

}  // namespace

BENCHMARK_MAIN();
