// The network transports against the simulated hub on 127.0.0.1.
//
// StreamOverNetwork: a USB CU hub of 32 sensors streaming at 1 kHz for 5 s;
// received_per_sent is the share of the frames the hub sent within the span
// of those received (by their 16-bit counters) that reached the data handler:
// 1.0 means nothing was lost.
// BsMainOpenTcpOverPty: opening a BSmain hub over TCP against opening it over
// the pty; the open waits 3 s by itself, and the requests it makes add their
// round trips, so the ratio stays near 1 unless a request waits a time-out.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "communication/datainterface/Serial.h"
#include "communication/datainterface/network/Tcp.h"
#include "communication/datainterface/network/Udp.h"
#include "communication/qn/BsMain.h"
#include "communication/qn/Cu.h"
#include "communication/qn/Frame.h"
#include "simhub/SimulatedHub.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using Communication::DataInterface::CDataInterface;
namespace QN = Communication::Device::QN;

constexpr int kCom = 6;
constexpr int kSensors = 32;
constexpr double kRateHz = 1000;
constexpr auto kWindow = std::chrono::seconds(5);
constexpr std::size_t kCounterOffset = 6;  // of a hub data frame

// Counts the frames handed on and how far their counters reach.
class Tally {
 public:
  void operator()(void* frame) {
    const auto counter = static_cast<std::uint16_t>(QN::Frame::Word(static_cast<const std::uint8_t*>(frame) + kCounterOffset));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!counting_) return;
    span_ += received_ == 0 ? 1 : static_cast<std::uint16_t>(counter - last_);
    last_ = counter;
    ++received_;
  }
  void Count(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    counting_ = on;
  }
  std::uint64_t Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  // Frames sent from the first counted to the last counted, both included.
  std::uint64_t Span() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return span_;
  }

 private:
  mutable std::mutex mutex_;
  bool counting_ = false;
  std::uint64_t received_ = 0;
  std::uint64_t span_ = 0;
  std::uint16_t last_ = 0;
};

std::shared_ptr<CDataInterface> Transport(SimHub::Protocol protocol) {
  if (protocol == SimHub::Protocol::Tcp) return std::make_shared<Communication::DataInterface::Network::CTcp>();
  return std::make_shared<Communication::DataInterface::Network::CUdp>();
}

void StreamOverNetwork(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  const auto protocol = static_cast<SimHub::Protocol>(state.range(0));
  state.SetLabel(protocol == SimHub::Protocol::Tcp ? "tcp" : "udp");
  for (auto _ : state) {
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::UsbCu;
    options.frameRateHz = kRateHz;
    for (int i = 0; i < kSensors; ++i) {
      SimHub::Bytes image(2048, 0);
      image[6] = static_cast<std::uint8_t>(i + 1);
      options.sensors.push_back({"QN DKv6 IMU Mar 12 2019", image, {}});
    }
    SimHub::SimulatedHub sim(std::move(options));
    const std::uint16_t port = sim.AttachNetwork(protocol);

    boost::property_tree::ptree parameters;
    parameters.put("device", "usbcu quat");
    parameters.put("frequency", kRateHz);
    parameters.put("ip", "127.0.0.1");
    parameters.put("port", port);
    parameters.put("localport", 0);
    parameters.put("transmissiontimeout", 100);
    const auto hub = std::make_shared<QN::CCu>(Transport(protocol));
    auto tally = std::make_shared<Tally>();
    hub->SetDataHandler([tally](void* frame) { (*tally)(frame); });
    if (!hub->Open(parameters) || static_cast<int>(hub->GetSensors().size()) != kSensors) {
      state.SkipWithError("the hub did not open with every sensor");
      hub->Close();
      break;
    }
    sim.WaitForDataFrames(sim.DataFramesSent() + 100, std::chrono::seconds(5));

    const std::uint64_t sentBefore = sim.DataFramesSent();
    tally->Count(true);
    std::this_thread::sleep_for(kWindow);
    tally->Count(false);
    const std::uint64_t sent = sim.DataFramesSent() - sentBefore;
    hub->Close();

    state.SetIterationTime(std::chrono::duration<double>(kWindow).count());
    state.counters["frames_sent"] = static_cast<double>(sent);
    state.counters["sent_rate_hz"] = static_cast<double>(sent) / std::chrono::duration<double>(kWindow).count();
    state.counters["frames_received"] = static_cast<double>(tally->Received());
    state.counters["received_per_sent"] =
        tally->Span() ? static_cast<double>(tally->Received()) / static_cast<double>(tally->Span()) : 0.0;
  }
  boost::log::core::get()->set_logging_enabled(true);
}
BENCHMARK(StreamOverNetwork)
    ->Arg(static_cast<int>(SimHub::Protocol::Tcp))
    ->Arg(static_cast<int>(SimHub::Protocol::Udp))
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Opens a BSmain hub on the transport; the time taken, or none.
std::optional<Milliseconds> OpenBsMain(const std::shared_ptr<CDataInterface>& transport,
                                       const boost::property_tree::ptree& parameters) {
  const auto hub = std::make_shared<QN::CBsMain>(transport, "BSmain");
  const auto start = Clock::now();
  const bool opened = hub->Open(parameters);
  const Milliseconds took = Clock::now() - start;
  hub->Close();
  if (!opened) return std::nullopt;
  return took;
}

SimHub::HubOptions BsMainHub() {
  SimHub::HubOptions options;
  options.sensors.resize(3);
  return options;
}

void BsMainOpenTcpOverPty(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  char pattern[] = "/tmp/network_bench.XXXXXX";
  const std::filesystem::path directory = mkdtemp(pattern);
  setenv("QUENLITH_TTY_DIR", directory.c_str(), 1);
  for (auto _ : state) {
    boost::property_tree::ptree parameters;
    parameters.put("device", "bsmain quat");

    SimHub::SimulatedHub onPty(BsMainHub());
    onPty.AttachPty(directory, kCom);
    parameters.put("com", kCom);
    const auto pty = OpenBsMain(std::make_shared<Communication::DataInterface::CSerial>(), parameters);

    SimHub::SimulatedHub onTcp(BsMainHub());
    parameters.put("ip", "127.0.0.1");
    parameters.put("port", onTcp.AttachNetwork(SimHub::Protocol::Tcp));
    const auto tcp = OpenBsMain(Transport(SimHub::Protocol::Tcp), parameters);

    if (!pty || !tcp) {
      state.SkipWithError("the hub did not open");
      break;
    }
    state.SetIterationTime((*pty + *tcp).count() / 1000.0);
    state.counters["open_pty_ms"] = pty->count();
    state.counters["open_tcp_ms"] = tcp->count();
    state.counters["tcp_over_pty"] = *tcp / *pty;
  }
  std::filesystem::remove_all(directory);
  boost::log::core::get()->set_logging_enabled(true);
}
BENCHMARK(BsMainOpenTcpOverPty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
