// One data frame of a base-station hub with 20 quaternion sensors through the
// hub manager, as the stream thread handles it: zero the output frame, process.

#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "communication/qn/Hub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

class BenchHub : public Communication::Device::QN::CHub {
 public:
  BenchHub() : CHub(nullptr, "BSmain") {
    for (int p = 0; p < 20; ++p)
      sensors_.push_back(std::make_shared<Communication::Device::QN::CSensor>(
          "DKv3", 1, 14 + 10 * p, 10, p, Communication::Device::QN::Bytes{}, Communication::Device::QN::Bytes{}));
  }
  void Run() override {}
};

void HubManagerQuatFrame(benchmark::State& state) {
  auto hub = std::make_shared<BenchHub>();
  Processing::Manager::QN::CManager manager(hub, {});
  manager.Configure({}, nullptr);

  std::vector<std::uint8_t> raw(14 + 200 + 2);
  raw[0] = 0xAA;
  raw[1] = 0x55;
  raw[2] = static_cast<std::uint8_t>(raw.size());
  raw[10] = 0xFF;
  raw[11] = 0xFF;
  raw[12] = 0x0F;
  for (std::size_t i = 14; i + 2 < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7);

  auto frame = std::make_unique<Processing::SdkFrame>();
  for (auto _ : state) {
    std::memset(frame.get(), 0, sizeof *frame);
    benchmark::DoNotOptimize(manager.Process(raw.data(), frame.get()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(HubManagerQuatFrame);

}  // namespace
