#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "communication/Hub.h"
#include "processing/manager/ChainFactory.h"
#include "processing/manager/Manager.h"
#include "processing/manager/dc/Compensation.h"

namespace Processing::Manager::QN::Dc {

// Field calibration driven by the host's "dc " commands (the manager strips
// "dc "): records output frames, computes a named compensation from them into
// the selected sensor models, and stores it into the sensors' flash, or
// restores an earlier calibration there.
//
// Command blocks are packed little-endian 32-bit words in the host's memory:
//   "clear"              no input, no output
//   "add"                input: count N, then at byte 4 the 64-bit address of
//                        N consecutive SdkFrames; no output
//   "calculate <name>"   input: sensor mask; output: success mask
//   "update"             input: sensor mask, store flags; output: success mask
//   "restore"            input: sensor mask, flags, method; output: success mask
// A sensor is selected by bit (position mod 32) of the sensor mask; the same
// bit of the success mask reports that the operation succeeded for it. A
// sensor's failure is logged as "<dc> sensor N: <message>" and the others go on.
//
// Threads: commands come only through the manager's ExecuteCommand, under its
// frame gate, so no frame is processed while a command changes a model or
// reloads its calibration; the collector takes no lock of its own.
class CDc : public Manager::CManager {
 public:
  // chain is the manager's, which outlives the collector.
  CDc(std::shared_ptr<Communication::Device::CHub> hub, const Chain* chain);

  bool ExecuteCommand(const std::string& command, void* input, void* output) override;

 private:
  using Factory = std::unique_ptr<CCompensation> (*)();

  bool Add(const void* input);
  bool Calculate(const std::string& command, const void* input, void* output);
  // Update and Restore: each selected model changes a copy of its sensor's
  // cached flash image, which is written to the sensor and then reloaded.
  bool Rewrite(const void* input, void* output, std::size_t inputWords,
               bool (*change)(Processing::QN::CDKv& model, Communication::Device::QN::Bytes& image,
                              const std::uint32_t* words));

  std::unordered_map<std::string, Factory> factories_;
  const Chain* chain_;
  Batches batches_;
};

}  // namespace Processing::Manager::QN::Dc
