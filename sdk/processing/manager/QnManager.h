#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "communication/Hub.h"
#include "communication/qn/Frame.h"
#include "processing/SdkFrame.h"
#include "processing/manager/ChainFactory.h"
#include "processing/manager/FrameGate.h"
#include "processing/manager/Manager.h"

namespace Processing::Manager::QN {

// Manager of the maker's hubs: one chain element per sensor of the hub, built
// once from each sensor's generation and data type, and fed the sensor's block
// of every data frame.
class CManager : public Manager::CManager {
 public:
  CManager(const std::shared_ptr<Communication::Device::CHub>& hub, const boost::property_tree::ptree& configuration);

  // Configures every chain element in order; an element's exception leaves at
  // once, with the manager's configured state as it was.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // "dc " commands go to the deviation-compensation collector; any other command
  // goes to every chain element, and the answer is true.
  bool ExecuteCommand(const std::string& command, void* input, void* output) override;
  // Input: a data frame of the hub (after the hub kind's normalisation); output:
  // the SdkFrame. False before Configure, for a frame without sensors, for
  // anything that is no data frame, and while the host configures the manager.
  bool Process(const void* input, void* output) override;

  static StagePtr CreateProcessing(const std::string& identity, const SensorPtr& sensor, const StagePtr& next);

  // Data frame layout, bytes of the frame as received.
  static constexpr std::size_t kLengthOffset = Communication::Device::QN::Frame::kLengthOffset;
  static constexpr std::size_t kCounterOffset = Communication::Device::QN::DataFrame::kCounterOffset;
  static constexpr std::size_t kRawWordOffset = Communication::Device::QN::DataFrame::kHubWordOffset;
  static constexpr std::size_t kMaskOffset = Communication::Device::QN::DataFrame::kMaskOffset;
  static constexpr std::size_t kFirstBlockOffset = Communication::Device::QN::DataFrame::kFirstBlockOffset;
  static constexpr std::size_t kChecksumBytes = Communication::Device::QN::Frame::kChecksumSize;
  static constexpr std::size_t kMaxFrameBytes = Communication::Device::QN::Frame::kMaxLength;

  // Header value computed from the raw hub word.
  static double RawHubValue(std::uint16_t rawWord) { return (rawWord / 1986.0 - 6.1) * 100 / 2.3; }

 private:
  // Where a chain element reads and writes, taken from its sensor once: the
  // sensor records do not change after the hub has found them.
  struct Slot {
    std::string identity;
    int position;            // 0 to 31
    std::int64_t offset;     // of the sensor's block in the data frame, bytes
    std::int64_t inputBytes; // read by the element from that offset
    bool reportedOutside = false;
  };

  bool ProcessFrame(const std::uint8_t* input, SdkFrame& frame, std::uintptr_t outputBegin);

  bool configured_ = false;
  Chain chain_;
  std::vector<Slot> slots_;  // one per chain element
  StagePtr collector_;
  CFrameGate gate_;
  bool reportedFrame_ = false;

  // For a frame that overlaps its output (one buffer given as both) and for an
  // output that is not aligned for its doubles.
  std::array<std::uint8_t, kMaxFrameBytes> inputCopy_{};
  SdkFrame alignedOutput_{};
};

}  // namespace Processing::Manager::QN
