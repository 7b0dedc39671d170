#pragma once

#include <atomic>
#include <cstdint>

#include "processing/manager/Manager.h"

namespace Processing::Manager {

// Manager of a Memsense sensor: its data packet, values already in
// little-endian order, fills the first block of the output frame.
class CMemsenseManager : public CManager {
 public:
  using CManager::CManager;

  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // Accepts every command and does nothing.
  bool ExecuteCommand(const std::string& command, void* input, void* output) override;
  // True even before Configure, when it writes nothing.
  bool Process(const void* input, void* output) override;

 private:
  std::atomic<bool> configured_{false};
  std::atomic<std::uint16_t> counter_{0};
};

}  // namespace Processing::Manager
