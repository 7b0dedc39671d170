// Data frames of a base-station hub through the hub manager, as the stream
// thread handles them: zero the output frame, process.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "ModelImages.h"
#include "ModelImages16.h"
#include "TestHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"
#include "quenlith_sdk_lite.h"

// Every heap allocation in this program is counted, to show that a frame makes
// none. The replaced new and delete are malloc and free underneath, which the
// compiler cannot see where it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

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
// each followed by the PI attitude correction (the default chain).
void RunModels(benchmark::State& state, const char* identity, const Bytes& image, const Bytes& words, int sensors) {
  boost::log::core::get()->set_logging_enabled(false);
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < sensors; ++p) hub->Add(identity, 0, 14 + 20 * p, 20, p, image);
  Processing::Manager::QN::CManager manager(hub, {});
  manager.Configure({}, nullptr);
  RunFrames(state, manager, DataFrame(sensors, 20, words), sensors);
}

void HubManagerDKv6Frame(benchmark::State& state) {
  RunModels(state, "QN DKv6 Mar 12 2019", ModelImages::Image(ModelImages::Worked()),
            ModelImages::WordBytes(ModelImages::WorkedWords()), 32);
}
BENCHMARK(HubManagerDKv6Frame);

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
