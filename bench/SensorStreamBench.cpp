// Parsing throughput of the tool's stream processor on a recorded sensor
// conversation (a flash answer, then measurement frames with a status frame
// now and then), read through a pseudo-terminal as from the adapter. The
// "line_multiple" counter compares it with what a 1,000,000-baud line can
// deliver (100 kB/s). A second thread writes the recording as the processor
// reads it, as the adapter's driver would.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PtyPeer.h"
#include "StreamFrames.h"
#include "StreamProcessor.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;

constexpr double kLineBytesPerSecond = 100000.0;  // 1,000,000 baud, 10 bits a byte
constexpr int kMeasurementFrames = 600;
constexpr int kStatusEvery = 60;

std::string recording() {
  std::string payload(2048, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 1);
  std::string bytes = StreamFrames::frame(0x0510, payload);
  for (int k = 0; k < kMeasurementFrames; ++k) {
    std::vector<std::uint16_t> words(15, 0);
    words[0] = static_cast<std::uint16_t>(k);
    words[1] = 0x7FFF;
    for (int w = 5; w < 15; ++w) words[static_cast<std::size_t>(w)] = static_cast<std::uint16_t>(k * w);
    bytes += StreamFrames::wordFrame(0x0213, words);
    if (k % kStatusEvery == 0) bytes += StreamFrames::wordFrame(0x0310, {0xFFFF, 0, 16665, 0, 1, 2, 0});
  }
  return bytes;
}

void BM_StreamProcessorParsing(benchmark::State& state) {
  char pattern[] = "/tmp/sensor_stream_bench_XXXXXX";
  const char* directory = mkdtemp(pattern);
  if (!directory) {
    state.SkipWithError("no scratch directory");
    return;
  }
  setenv("QUENLITH_TTY_DIR", directory, 1);
  const std::string bytes = recording();
  std::size_t records = 0;
  std::size_t blocks = 0;
  {
    PtyPeer line(directory, 2);
    StreamProcessor processor;
    processor.sensorDataCallback = [&](const QuenlithSensorData&) { ++records; };
    processor.flashBlockCallback = [&](const std::string&) { ++blocks; };
    line.Write(StreamFrames::frame(0x0000, ""));  // the first read finds something at once
    processor.start(line.PortName());

    for (auto _ : state) {
      records = 0;
      blocks = 0;
      std::thread writer([&] { line.Write(bytes); });
      while (records < kMeasurementFrames || blocks < 1) processor.advance();
      writer.join();
    }
    processor.closeConnection();
    line.Drain();
  }
  std::filesystem::remove_all(directory);
  unsetenv("QUENLITH_TTY_DIR");

  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["line_multiple"] = benchmark::Counter(static_cast<double>(bytes.size()) / kLineBytesPerSecond,
                                                       benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StreamProcessorParsing)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
