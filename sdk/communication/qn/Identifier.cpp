#include "communication/qn/Identifier.h"

#include "common/Log.h"

namespace Communication::Device::QN {

CIdentifier::CIdentifier(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CIdentifier::~CIdentifier() { CloseQuietly(); }

bool CIdentifier::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters) || !RequestHubId()) return false;
  QLOG(info) << "found \"" << GetId() << "\" device";
  return true;
}

void CIdentifier::SetAutoTx(bool on) { SwitchAutoTx(on); }

}  // namespace Communication::Device::QN
