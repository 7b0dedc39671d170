#pragma once

#include <string>

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// A hub that streams its one fixed sensor's frames without being told; it
// takes no commands.
class CStream : public CHub {
 public:
  static constexpr const char* kSensorIdentity = "DKv7m2_V1103_Tindra_V1006 Feb 24 2016";
  static constexpr int kSensorDataSize = 20;

  explicit CStream(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "Stream");
  ~CStream() override;

  bool Open(const boost::property_tree::ptree& parameters) override;
  // The dongle's frame shape: the header goes in front of the sensor block.
  void OnFrame(HubFrame& frame) override;
};

}  // namespace Communication::Device::QN
