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
#include "TestHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

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

void RunFrames(benchmark::State& state, Processing::Manager::QN::CManager& manager, const Bytes& raw, int sensors) {
  auto frame = std::make_unique<Processing::SdkFrame>();
  const long long allocationsBefore = g_allocations.load();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::memset(frame.get(), 0, sizeof *frame);
    benchmark::DoNotOptimize(manager.Process(raw.data(), frame.get()));
    benchmark::ClobberMemory();
  }
  Report(state, g_allocations.load() - allocationsBefore, std::chrono::steady_clock::now() - start, sensors);
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

// The default chain: 32 raw DKv6 sensors calibrated from a full image, every
// step on, each followed by the PI attitude correction.
void HubManagerDKv6Frame(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  auto hub = std::make_shared<TestHub>();
  for (int p = 0; p < 32; ++p)
    hub->Add("QN DKv6 Mar 12 2019", 0, 14 + 20 * p, 20, p, ModelImages::Image(ModelImages::Worked()));
  Processing::Manager::QN::CManager manager(hub, {});
  manager.Configure({}, nullptr);
  RunFrames(state, manager, DataFrame(32, 20, ModelImages::WordBytes(ModelImages::WorkedWords())), 32);
}
BENCHMARK(HubManagerDKv6Frame);

}  // namespace
