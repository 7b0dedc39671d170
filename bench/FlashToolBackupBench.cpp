// A "backup" against the simulated sensor, phase by phase (open, bus-address
// probe, flash read, file write), set against the least each phase can take:
// the waits the hub protocol prescribes and the time its bytes need on the
// wire at the default baud rate. A pseudo-terminal carries bytes without a
// line speed, so the run itself is bound only by the waits; the wire time is
// what a real line at the default baud rate adds on top.
//
// Counters per phase: <phase>_ms measured, <phase>_waits_ms prescribed waits,
// <phase>_wire_ms the bytes' wire time, <phase>_excess_ms measured minus the
// waits, and <phase>_excess_pct that excess relative to the whole floor
// (waits plus wire time).

#include <chrono>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "FlashOperations.h"
#include "SensorAccess.h"
#include "SensorHarness.h"
#include "quenlith_sdk_lite.h"
#include "simhub/LineMarker.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr double kBaudRate = 1000000.0;  // default line speed (bits per second)
constexpr double kBitsPerByte = 10.0;    // start bit, eight data bits, stop bit
// The hub protocol waits 200,000 / baud rate, OR 1, milliseconds before each
// write, and 1 ms after a wake frame; so every frame the hub receives cost 1 ms.
constexpr double kWaitPerFrameMs = 1.0;
constexpr std::size_t kFrameOverhead = 8;  // header, length, command word, checksum (bytes)
// Fixed waits of opening a hub (ms): a USB CU hub waits 3,000 ms before it is
// configured and 100 ms before its slot table is checked; a dongle none.
double FixedOpenWaitsMs(const std::string& hubKind) { return hubKind == "usbcu" ? 3100.0 : 0.0; }

double WireMs(std::size_t bytes) { return bytes * kBitsPerByte / kBaudRate * 1000.0; }

// The bytes the hub answers a request with, for the requests that are answered.
std::size_t ReplyBytes(std::uint16_t command, const SensorSetup& sensor) {
  switch (command >> 8) {
    case 0x01: return kFrameOverhead + sensor.identity.size() + 1;  // identity
    case 0x03: return kFrameOverhead + 8;                           // state words
    case 0x05: return kFrameOverhead + sensor.image.size();         // flash image
    default: return 0;
  }
}

struct Floor {
  double waitsMs = 0;
  double wireMs = 0;
};

// The floor of a phase in which the hub received these frames.
Floor FloorOf(const std::vector<SimHub::Bytes>& frames, const SensorSetup& sensor) {
  Floor floor;
  for (const auto& frame : frames) {
    const std::uint16_t command = frame.size() >= 6 ? static_cast<std::uint16_t>(frame[4] | frame[5] << 8) : 0;
    floor.waitsMs += kWaitPerFrameMs;
    floor.wireMs += WireMs(frame.size()) + WireMs(ReplyBytes(command, sensor));
  }
  return floor;
}

struct PhaseTotals {
  double measuredMs = 0;
  Floor floor;
};

void BackupPhaseByPhase(benchmark::State& state, const char* hubKind) {
  std::string image = PatternImage(2048);
  const SensorSetup sensor{hubKind, "QN DKv6 IMU Mar 12 2019", Patched(image, {{6, 7, 2}, {8, 1234}})};
  SensorHarness harness;
  harness.Start(sensor);
  std::ostringstream quiet;
  std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());

  const char* names[] = {"open", "probe", "read", "file"};
  PhaseTotals phases[4];
  // Each phase's requests are counted with the phase that sent them.
  const SimHub::LineMarker marker(harness.Hub());
  std::size_t from = marker.Mark() + 1;  // the first request of the next phase
  for (auto _ : state) {
    double iterationMs = 0;  // the four phases, without the markers between them
    auto measure = [&](PhaseTotals& phase, auto&& work) {
      const auto start = Clock::now();
      work();
      const double elapsed = Milliseconds(Clock::now() - start).count();
      phase.measuredMs += elapsed;
      iterationMs += elapsed;
      const std::size_t to = marker.Mark();
      const auto frames = harness.Hub().RequestsReceived();
      const Floor floor = FloorOf(std::vector<SimHub::Bytes>(frames.begin() + static_cast<long>(from),
                                                             frames.begin() + static_cast<long>(to)),
                                  sensor);
      from = to + 1;
      phase.floor.waitsMs += floor.waitsMs;
      phase.floor.wireMs += floor.wireMs;
    };
    int handle = -1;
    measure(phases[0], [&] { handle = openDevice(); });
    phases[0].floor.waitsMs += FixedOpenWaitsMs(hubKind);
    int busAddress = 0;
    FlashLayout layout;
    std::string identity;
    measure(phases[1], [&] { findSensor(handle, busAddress, layout, identity); });
    std::string read(static_cast<std::size_t>(layout.size), '\0');
    measure(phases[2], [&] {
      unsigned int length = static_cast<unsigned int>(read.size());
      if (!iQuenlith_SDK_Lite_GetSensorFlash(handle, busAddress, read.data(), &length)) state.SkipWithError("read failed");
    });
    FlashFields fields;
    decodeFlashFields(read, layout, fields);
    measure(phases[3], [&] { writeFileAtomically(makeBackupFileName(fields), read, "backup failed"); });
    iQuenlith_SDK_Lite_CloseDevice(handle);
    from = marker.Mark() + 1;  // what closing sends is no part of the next open
    state.SetIterationTime(iterationMs / 1000.0);
  }
  std::cout.rdbuf(console);

  const double n = static_cast<double>(state.iterations());
  for (int i = 0; i < 4; ++i) {
    const std::string name = names[i];
    const double measured = phases[i].measuredMs / n;
    const double waits = phases[i].floor.waitsMs / n;
    const double wire = phases[i].floor.wireMs / n;
    state.counters[name + "_ms"] = measured;
    state.counters[name + "_waits_ms"] = waits;
    state.counters[name + "_wire_ms"] = wire;
    state.counters[name + "_excess_ms"] = measured - waits;
    if (waits + wire > 0) state.counters[name + "_excess_pct"] = (measured - waits) / (waits + wire) * 100.0;
  }
}

BENCHMARK_CAPTURE(BackupPhaseByPhase, dongle, "dongle")->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BackupPhaseByPhase, usbcu, "usbcu")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
