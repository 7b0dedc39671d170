#include "processing/manager/QnManager.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/LittleEndian.h"
#include "common/Log.h"

namespace Processing::Manager::QN {

namespace {

std::string NormalisedCommand(const std::string& command) {
  std::string text = command;
  for (auto& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    c = std::isspace(byte) ? ' ' : static_cast<char>(std::tolower(byte));
  }
  return text;
}

}  // namespace

CManager::CManager(const std::shared_ptr<Communication::Device::CHub>& hub,
                   const boost::property_tree::ptree& configuration)
    : Manager::CManager(hub), collector_(CreateCollector(hub, &chain_)) {
  if (!hub) return;
  const auto processing = configuration.get<std::string>("processing", "");
  for (const auto& device : hub->GetSensors()) {
    const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(device);
    const std::string identity = device ? device->GetId() : std::string();
    if (sensor && (sensor->GetIndex() < 0 || sensor->GetIndex() >= static_cast<int>(kPositions))) {
      // Its block would lie outside the output frame.
      QLOG(error) << "sensor \"" << identity << "\" at position " << sensor->GetIndex()
                  << " is outside 0 to 31: skipped";
      continue;
    }
    const auto correction = sensor ? CreateCorrection(processing, sensor) : nullptr;
    const auto element = CreateChainElement(identity, sensor, correction);
    if (!element.stage) {
      if (element.missingStage.empty())
        QLOG(error) << "Unknown configuration for \"" << identity << "\"";
      else
        QLOG(error) << "no " << element.missingStage << " stage in this build for \"" << identity << "\"";
      continue;
    }
    chain_.push_back(element.stage);
    slots_.push_back({identity, sensor->GetIndex(), sensor->GetDataOffset(),
                      static_cast<std::int64_t>(std::max<std::size_t>(element.inputBytes,
                                                                      std::max(sensor->GetDataSize(), 0)))});
  }
}

StagePtr CManager::CreateProcessing(const std::string& identity, const SensorPtr& sensor, const StagePtr& next) {
  return CreateChainElement(identity, sensor, next).stage;
}

bool CManager::Configure(const boost::property_tree::ptree& configuration, const int* mode) {
  const auto lock = gate_.ForHost();
  for (const auto& stage : chain_) stage->Configure(configuration, mode);
  configured_ = true;
  return true;
}

bool CManager::ExecuteCommand(const std::string& command, void* input, void* output) {
  const auto lock = gate_.ForHost();
  const std::string text = NormalisedCommand(command);
  // The collector reads the text after "dc ". It runs under the gate like every
  // host command: "calculate", "update" and "restore" rewrite the models'
  // blocks and calibration, which a frame must never see half made.
  if (text.compare(0, 3, "dc ") == 0) return collector_->ExecuteCommand(text.substr(3), input, output);
  for (const auto& stage : chain_) stage->ExecuteCommand(text, input, output);
  return true;
}

bool CManager::Process(const void* input, void* output) {
  const auto lock = gate_.ForFrame();
  if (!lock.owns_lock() || !configured_ || !input || !output) return false;

  const auto* frame = static_cast<const std::uint8_t*>(input);
  const auto outputBegin = reinterpret_cast<std::uintptr_t>(output);
  if (outputBegin % alignof(SdkFrame) == 0) return ProcessFrame(frame, *static_cast<SdkFrame*>(output), outputBegin);

  // A host's buffer need not be aligned for doubles. It keeps what processing
  // does not write, as it would if processed where it lies.
  std::memcpy(&alignedOutput_, output, sizeof alignedOutput_);
  const bool processed = ProcessFrame(frame, alignedOutput_, outputBegin);
  std::memcpy(output, &alignedOutput_, sizeof alignedOutput_);
  return processed;
}

bool CManager::ProcessFrame(const std::uint8_t* input, SdkFrame& frame, std::uintptr_t outputBegin) {
  const std::size_t length = LittleEndian::U16(input + kLengthOffset);
  if (length < kFirstBlockOffset + kChecksumBytes || length > kMaxFrameBytes) {
    if (!reportedFrame_) QLOG(error) << "frame of " << length << " bytes is no data frame: skipped";
    reportedFrame_ = true;
    return false;
  }

  // The whole header is read before anything is written: input and output may
  // be one buffer.
  const std::uint16_t counter = LittleEndian::U16(input + kCounterOffset);
  const std::uint16_t rawWord = LittleEndian::U16(input + kRawWordOffset);
  const std::uint32_t mask = LittleEndian::U32(input + kMaskOffset);

  // So may the sensor blocks, which the records would overwrite before later
  // sensors are read.
  const auto inputBegin = reinterpret_cast<std::uintptr_t>(input);
  if (inputBegin < outputBegin + sizeof(SdkFrame) && outputBegin < inputBegin + length) {
    std::memcpy(inputCopy_.data(), input, length);
    input = inputCopy_.data();
  }

  frame.rawHubWord = rawWord;
  frame.sensorMask = mask;
  frame.frameCounter = counter;
  frame.rawHubValue = RawHubValue(rawWord);
  if (mask == 0) return false;

  const auto blocksEnd = static_cast<std::int64_t>(length - kChecksumBytes);
  for (std::size_t i = 0; i < chain_.size(); ++i) {
    auto& slot = slots_[i];
    if (slot.offset < static_cast<std::int64_t>(kFirstBlockOffset) || slot.offset + slot.inputBytes > blocksEnd) {
      if (!slot.reportedOutside)
        QLOG(error) << "sensor \"" << slot.identity << "\" reads " << slot.inputBytes << " bytes at offset "
                    << slot.offset << ", outside the frame of " << length << " bytes: skipped";
      slot.reportedOutside = true;
      continue;
    }
    chain_[i]->Process(input + slot.offset, &frame.sensors[static_cast<std::size_t>(slot.position)]);
  }
  return true;
}

}  // namespace Processing::Manager::QN
