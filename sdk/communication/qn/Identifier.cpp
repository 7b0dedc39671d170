#include "communication/qn/Identifier.h"

#include <array>

#include "api/Log.h"

namespace Communication::Device::QN {

CIdentifier::CIdentifier(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CIdentifier::~CIdentifier() { CloseQuietly(); }

bool CIdentifier::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters)) return false;
  std::array<std::uint8_t, kFrameCapacity> reply;
  const Bytes identify = Frame::Request(Frame::CommandWord(Frame::Command::kIdentify));
  const int length = Request(identify.data(), static_cast<int>(identify.size()), reply.data(),
                             static_cast<int>(reply.size()), false, true);
  if (length == 0) {
    QLOG(error) << "get hub id failed";
    return false;
  }
  SetId(Frame::Text(reply.data(), static_cast<std::size_t>(length)));
  QLOG(info) << "found \"" << GetId() << "\" device";
  return true;
}

void CIdentifier::SetAutoTx(bool on) { SwitchAutoTx(on); }

}  // namespace Communication::Device::QN
