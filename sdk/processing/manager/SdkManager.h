#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "communication/qn/QnSdk.h"
#include "processing/manager/Manager.h"

namespace Processing::Manager::QN {

// Manager of the hub whose frames carry records the sensors have already
// processed: copies them into the output frame, one block per record in order.
class CSdkManager : public Manager::CManager {
 public:
  using Manager::CManager::CManager;

  // Restarts the frame counter.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // Input: the hub's frame, a mask at byte 4, a header word at byte 8 and one
  // record per set bit of the mask from byte 12. False for a frame without records.
  bool Process(const void* input, void* output) override;

  static constexpr std::size_t kMaskOffset = 4;
  static constexpr std::size_t kHeaderWordOffset = 8;
  static constexpr std::size_t kFirstRecordOffset = Communication::Device::QN::CQnSdk::kHeaderBytes;
  static constexpr std::size_t kRecordBytes = Communication::Device::QN::CQnSdk::kRecordBytes;

 private:
  std::atomic<std::uint16_t> counter_{0};
};

}  // namespace Processing::Manager::QN
