// Hubs that start streaming as soon as the line is open: the plain stream hub
// with its one sensor and the hub of processed records.

#include "simhub/StreamingHubs.h"

#include <algorithm>
#include <cstring>

#include "simhub/Codec.h"

namespace SimHub {

namespace {

constexpr std::uint16_t kStreamDataWord = 0x0214;
constexpr std::size_t kStreamBlockSize = 30;  // the attitude, rate, acceleration and temperature words
constexpr std::size_t kSdkRecordFloats = 26;  // 104 bytes
constexpr std::size_t kMaxRecords = 32;

}  // namespace

float SdkRecordValue(std::uint16_t counter, int record, int index) {
  return static_cast<float>(counter) * 0.5f + static_cast<float>(record * 100 + index);
}

const std::vector<CommandRow>& StreamHub::Commands() const {
  static const std::vector<CommandRow> rows;
  return rows;
}

Bytes StreamHub::DataFrame(HubState& state) {
  return SingleSensorDataFrame(state, kStreamDataWord, kStreamBlockSize, 1);
}

const std::vector<CommandRow>& QnSdkHub::Commands() const {
  static const std::vector<CommandRow> rows;
  return rows;
}

Bytes QnSdkHub::DataFrame(HubState& state) {
  const std::uint16_t counter = state.counter++;
  const std::size_t records = std::min(state.options.sensors.size(), kMaxRecords);
  Bytes frame(4, 0x55);
  AppendLong(frame, records == 0 ? 0u : static_cast<std::uint32_t>((std::uint64_t{1} << records) - 1));
  AppendLong(frame, counter);
  for (std::size_t r = 0; r < records; ++r)
    for (std::size_t k = 0; k < kSdkRecordFloats; ++k) {
      const float value = SdkRecordValue(counter, static_cast<int>(r), static_cast<int>(k));
      std::uint32_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      AppendLong(frame, bits);
    }
  AppendLong(frame, 0xAAAAAAAAu);
  return frame;
}

std::unique_ptr<Personality> MakeStreamHub() { return std::make_unique<StreamHub>(); }
std::unique_ptr<Personality> MakeQnSdkHub() { return std::make_unique<QnSdkHub>(); }

}  // namespace SimHub
