// How fast the hub's frame receiver takes BSmain data frames apart, without a
// port: the line is a buffer that repeats one frame for ever.

#include <algorithm>
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>
#include <boost/log/core/core.hpp>

#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"

namespace {

using Communication::Device::QN::Bytes;
using Communication::Device::QN::CHub;
namespace Frame = Communication::Device::QN::Frame;

class RepeatingLine : public Communication::DataInterface::CDataInterface {
 public:
  explicit RepeatingLine(Bytes frame) : frame_(std::move(frame)) {}
  bool Open(const boost::property_tree::ptree&) override { return true; }
  void Close() override {}
  int Read(char* buffer, int length) override {
    for (int i = 0; i < length; ++i) {
      buffer[i] = static_cast<char>(frame_[position_]);
      position_ = (position_ + 1) % frame_.size();
    }
    return length;
  }
  int Write(const char*, int length) override { return length; }
  void Purge() override {}

 private:
  Bytes frame_;
  std::size_t position_ = 0;
};

// A raw BSmain data frame: 20 blocks of 20 bytes after the 14-byte head.
Bytes DataFrame() {
  Bytes payload(2 + 8 + 20 * 20);
  Frame::PutWord(payload.data(), 0x0210);
  for (std::size_t i = 2; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  return Frame::Build(payload);
}

void ReceiveDataFrame(benchmark::State& state) {
  boost::log::core::get()->set_logging_enabled(false);
  const Bytes frame = DataFrame();
  const auto hub = std::make_shared<CHub>(std::make_shared<RepeatingLine>(frame), "bench");
  Bytes buffer(CHub::kFrameCapacity);
  for (auto _ : state) {
    const int length = hub->ReceiveFrame(buffer.data(), static_cast<int>(buffer.size()));
    if (length != static_cast<int>(frame.size())) state.SkipWithError("frame refused");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
  boost::log::core::get()->set_logging_enabled(true);
}
BENCHMARK(ReceiveDataFrame);

void ChecksumOfLargestFrame(benchmark::State& state) {
  Bytes frame(Frame::kMaxLength, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(Frame::Checksum(frame.data(), frame.size() - 2));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(ChecksumOfLargestFrame);

}  // namespace

BENCHMARK_MAIN();
