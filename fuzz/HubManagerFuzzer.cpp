// Feeds arbitrary sensor lists and data frames to the manager of the maker's
// hubs. Whatever the sensors report and whatever the frame holds, nothing is
// read outside the frame or written outside the output frame, also when both
// lie in one buffer or the output is not aligned.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "communication/Hub.h"
#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/manager/QnManager.h"

namespace {

class FuzzHub : public Communication::Device::CHub {
 public:
  FuzzHub() : CHub("fuzz", "quenlith") {}
  void Run() override {}
  void Add(std::shared_ptr<Communication::Device::CSensor> sensor) { sensors_.push_back(std::move(sensor)); }
};

const char* const kIdentities[] = {"DKv3", "DKv4", "DKv5", "DKv6", "DKv7", "ExtV", "unknown"};

constexpr std::size_t kMaxFrame = Processing::Manager::QN::CManager::kMaxFrameBytes;
constexpr std::size_t kSlack = 64;  // room to shift input and output within one buffer

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  auto hub = std::make_shared<FuzzHub>();
  const int sensors = in.take<std::uint8_t>() % 8;
  for (int i = 0; i < sensors; ++i) {
    const char* identity = kIdentities[in.take<std::uint8_t>() % std::size(kIdentities)];
    const int dataType = in.take<std::int8_t>();
    const int offset = in.take<std::int16_t>();
    const int dataSize = in.take<std::int16_t>();
    const int position = in.take<std::int8_t>();
    hub->Add(std::make_shared<Communication::Device::QN::CSensor>(identity, dataType, offset, dataSize, position,
                                                                  Communication::Device::QN::Bytes{},
                                                                  Communication::Device::QN::Bytes{}));
  }
  const auto layout = in.take<std::uint8_t>();

  // A caller's frame holds at least the length its length word gives.
  std::vector<std::uint8_t> frame(in.data, in.data + std::min(in.size, kMaxFrame));
  if (frame.size() < 4) return 0;
  const std::size_t lengthWord = frame[2] | (frame[3] << 8);
  if (lengthWord > frame.size()) {
    frame[2] = static_cast<std::uint8_t>(frame.size());
    frame[3] = static_cast<std::uint8_t>(frame.size() >> 8);
  }

  Processing::Manager::QN::CManager manager(hub, {});
  manager.Configure({}, nullptr);

  auto output = std::make_unique<Processing::SdkFrame>();
  manager.Process(frame.data(), output.get());

  // One buffer for both, the frame and the output at offsets the input chooses.
  std::vector<std::uint8_t> shared(sizeof(Processing::SdkFrame) + kSlack);
  const std::size_t outputAt = layout % kSlack;
  const std::size_t inputAt = (layout & 0x80) ? outputAt : (layout * 7) % kSlack;
  std::memcpy(shared.data() + inputAt, frame.data(), frame.size());
  manager.Process(shared.data() + inputAt, shared.data() + outputAt);
  return 0;
}
