#pragma once

#include <atomic>
#include <cstdint>

#include "processing/manager/Manager.h"
#include "processing/storage/DataStorage.h"

namespace Processing::Manager {

// Manager of a VectorNav sensor: publishes every record the driver decoded
// (Communication::Device::Vn::Record) under "vectorNavData" in the shared
// storage and copies its motion values into the first block of the output frame.
class CVnManager : public CManager {
 public:
  static constexpr const char* kStorageKey = "vectorNavData";

  explicit CVnManager(std::shared_ptr<Communication::Device::CDevice> device);

  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // Accepts every command and does nothing.
  bool ExecuteCommand(const std::string& command, void* input, void* output) override;
  // True even before Configure, when it writes nothing.
  bool Process(const void* input, void* output) override;

 private:
  std::atomic<std::uint16_t> counter_{0};
  SharedStorage::CReader storage_;
  std::atomic<bool> configured_{false};
};

}  // namespace Processing::Manager
