// Opening a USB CU hub with 1, 8 and 32 sensors, against the simulated hub on
// a line paced at the configured baud rate. The figure is also given as a
// ratio to its floor: the waits the protocol prescribes plus the wire time of
// every byte both ways (bytes x 10 / baud).

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "communication/datainterface/Serial.h"
#include "communication/qn/Cu.h"
#include "simhub/SimulatedHub.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using Communication::Device::QN::CCu;

constexpr long long kBaud = 1000000;
constexpr int kCom = 7;
constexpr std::size_t kImageSize = 2048;
// The delay between writes at this baud rate: 200,000 / baud, OR 1.
constexpr Milliseconds kPerSend{static_cast<double>((200000 / kBaud) | 1)};

struct Traffic {
  std::size_t framesIn = 0;  // each one Send, each Send waits kPerSend first
  std::size_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
};

Traffic Snapshot(const SimHub::SimulatedHub& sim) {
  Traffic traffic;
  for (const auto& frame : sim.RequestsReceived()) {
    ++traffic.framesIn;
    traffic.bytesIn += frame.size();
  }
  traffic.bytesOut = sim.BytesSent();
  return traffic;
}

Milliseconds Floor(const Traffic& before, const Traffic& after, Milliseconds prescribed) {
  const double wireBytes = static_cast<double>(after.bytesIn - before.bytesIn + after.bytesOut - before.bytesOut);
  return prescribed + kPerSend * static_cast<double>(after.framesIn - before.framesIn) +
         Milliseconds(wireBytes * 10.0 / kBaud * 1000.0);
}

SimHub::Bytes Image(std::uint8_t address, std::uint8_t seed) {
  SimHub::Bytes image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(seed + i * 13);
  image[6] = address;
  image[7] = 0;
  return image;
}

void OpenHub(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  char pattern[] = "/tmp/cu_hub_bench.XXXXXX";
  const std::filesystem::path directory = mkdtemp(pattern);
  setenv("QUENLITH_TTY_DIR", directory.c_str(), 1);
  const int sensors = static_cast<int>(state.range(0));

  for (auto _ : state) {
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::UsbCu;
    options.baudRate = kBaud;
    options.frameRateHz = 0;  // no data frames: the figures are the requests' alone
    for (int i = 0; i < sensors; ++i)
      options.sensors.push_back({"QN DKv6 IMU Mar 12 2019", Image(static_cast<std::uint8_t>(i + 1), 1), {}});
    SimHub::SimulatedHub sim(std::move(options));
    sim.AttachPty(directory, kCom);

    boost::property_tree::ptree parameters;
    parameters.put("com", kCom);
    parameters.put("device", "usbcu");
    parameters.put("baudrate", kBaud);
    const auto hub = std::make_shared<CCu>(std::make_shared<Communication::DataInterface::CSerial>());

    const Traffic start = Snapshot(sim);
    const auto openStart = Clock::now();
    const bool opened = hub->Open(parameters);
    const Milliseconds open = Clock::now() - openStart;
    const Traffic afterOpen = Snapshot(sim);
    if (!opened || static_cast<int>(hub->GetSensors().size()) != sensors) {
      state.SkipWithError("the hub did not open with every sensor");
      hub->Close();
      break;
    }

    hub->Close();

    const Milliseconds openFloor = Floor(start, afterOpen, CCu::kSettleTime + CCu::kSlotTableSettle);
    state.SetIterationTime(open.count() / 1000.0);
    state.counters["open_ms"] = open.count();
    state.counters["open_floor_ms"] = openFloor.count();
    state.counters["open_ratio"] = open / openFloor;
  }
  std::filesystem::remove_all(directory);
  boost::log::core::get()->set_logging_enabled(true);
}
BENCHMARK(OpenHub)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
