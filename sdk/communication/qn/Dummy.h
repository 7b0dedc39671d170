#pragma once

#include <string>

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// The emulator: 20 fixed raw sensors and no hub behind them. It never opens
// its transport nor streams; frames reach processing only from the host.
class CDummy : public CHub {
 public:
  static constexpr int kSensorCount = 20;
  static constexpr int kSensorDataSize = 20;

  explicit CDummy(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "Emulator");

  void Run() override;
  bool Open(const boost::property_tree::ptree& parameters) override;
  void Close() override;
  void StartStream() override;
  void StopStream() override;
};

}  // namespace Communication::Device::QN
