// Writing one sensor's 2,048-byte flash image through a USB CU hub and through
// a dongle, against a simulated sensor that, as a real one, never answers a
// write, on a line paced at 1,000,000 baud. The hubs stream at the default 60
// Hz until the write stops them. Each write is set against its floor: the
// 3,000 ms the sensor is given to store the image, the delay before every
// frame sent, and the wire time of every byte both ways, data frames included
// (bytes x 10 / baud). Counters: write_ms, write_floor_ms, write_ratio, and
// the excess over the floor in read time-outs of the line (timeouts_over_floor).

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "communication/datainterface/Serial.h"
#include "communication/qn/Cu.h"
#include "communication/qn/Dongle.h"
#include "simhub/LineMarker.h"
#include "simhub/SimulatedHub.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using Communication::Device::QN::CCu;
using Communication::Device::QN::CDongle;

constexpr long long kBaud = 1000000;
constexpr int kCom = 8;
constexpr std::size_t kImageSize = 2048;
constexpr Milliseconds kReadTimeout{100};  // the serial transport's default
// The delay before each frame sent at this baud rate: 200,000 / baud, OR 1.
constexpr Milliseconds kPerFrame{static_cast<double>((200000 / kBaud) | 1)};
static_assert(CCu::kFlashWriteSettle == CDongle::kFlashWriteSettle);

SimHub::Bytes Image(std::uint8_t seed) {
  SimHub::Bytes image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(seed + i * 13);
  image[6] = 1;  // the USB CU's bus address word
  image[7] = 0;
  return image;
}

// The prescribed wait, the delay before every frame the hub received and the
// wire time of every byte both ways, between two marks on the line.
Milliseconds Floor(const SimHub::SimulatedHub& sim, std::size_t from, std::size_t to, std::uint64_t bytesOut) {
  const auto requests = sim.RequestsReceived();
  double bytes = static_cast<double>(bytesOut);
  for (std::size_t i = from; i < to; ++i) bytes += static_cast<double>(requests[i].size());
  return Milliseconds(CCu::kFlashWriteSettle) + kPerFrame * static_cast<double>(to - from) +
         Milliseconds(bytes * 10.0 / kBaud * 1000.0);
}

std::shared_ptr<Communication::Device::QN::CHub> MakeHub(SimHub::HubKind kind) {
  const auto transport = std::make_shared<Communication::DataInterface::CSerial>();
  if (kind == SimHub::HubKind::UsbCu) return std::make_shared<CCu>(transport);
  return std::make_shared<CDongle>(transport);
}

void WriteFlash(benchmark::State& state, SimHub::HubKind kind, const char* device, int busAddress) {
  boost::log::core::get()->set_logging_enabled(false);
  char pattern[] = "/tmp/flash_write_bench.XXXXXX";
  const std::filesystem::path directory = mkdtemp(pattern);
  setenv("QUENLITH_TTY_DIR", directory.c_str(), 1);

  for (auto _ : state) {
    SimHub::HubOptions options;
    options.kind = kind;
    options.baudRate = kBaud;
    options.frameRateHz = 60;
    options.sensors.push_back({"QN DKv6 IMU Mar 12 2019", Image(1), {}});
    SimHub::SimulatedHub sim(std::move(options));
    sim.AttachPty(directory, kCom);
    const SimHub::LineMarker marker(sim);

    boost::property_tree::ptree parameters;
    parameters.put("com", kCom);
    parameters.put("device", device);
    parameters.put("baudrate", kBaud);
    const auto hub = MakeHub(kind);
    if (!hub->Open(parameters) || hub->GetSensors().size() != 1) {
      state.SkipWithError("the hub did not open with its sensor");
      hub->Close();
      break;
    }

    const std::size_t from = marker.Mark() + 1;
    const std::uint64_t bytesBefore = sim.BytesSent();
    const SimHub::Bytes written = Image(77);
    const auto start = Clock::now();
    const bool wrote = hub->SetSensorFlash(busAddress, written);
    const Milliseconds write = Clock::now() - start;
    const std::size_t to = marker.Mark();
    const Milliseconds floor = Floor(sim, from, to, sim.BytesSent() - bytesBefore);
    hub->Close();
    if (!wrote || sim.Flash(0) != written) {
      state.SkipWithError("the flash write failed");
      break;
    }

    state.SetIterationTime(write.count() / 1000.0);
    state.counters["write_ms"] = write.count();
    state.counters["write_floor_ms"] = floor.count();
    state.counters["write_ratio"] = write / floor;
    state.counters["timeouts_over_floor"] = (write - floor) / kReadTimeout;
  }
  std::filesystem::remove_all(directory);
  boost::log::core::get()->set_logging_enabled(true);
}

BENCHMARK_CAPTURE(WriteFlash, usbcu, SimHub::HubKind::UsbCu, "usbcu", 1)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(WriteFlash, dongle, SimHub::HubKind::Dongle, "dongle", 1)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
