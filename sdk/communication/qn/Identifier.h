#pragma once

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// Asks a hub of unknown kind for its identity, which becomes this object's id,
// so that the device set can choose the hub kind. Short-lived: destroying it
// closes the transport again.
class CIdentifier : public CHub {
 public:
  explicit CIdentifier(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id = "Identifier");
  ~CIdentifier() override;

  bool Open(const boost::property_tree::ptree& parameters) override;
  // A streaming hub is told to stop before it is asked; power is left alone.
  void SetAutoTx(bool on) override;
};

}  // namespace Communication::Device::QN
