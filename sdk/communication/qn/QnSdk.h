#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// A hub whose frames carry records its sensors processed themselves:
//   0 sync 55 55 55 55   4 32-bit mask, one bit per record   8 32-bit header word
//   12 one 104-byte record per set bit   then the footer AA AA AA AA.
// No checksum and no sensor records of its own: processing reads the frames.
class CQnSdk : public CHub {
 public:
  static constexpr std::size_t kRecordBytes = 104;
  static constexpr std::size_t kHeaderBytes = 12;
  static constexpr std::size_t kFooterBytes = 4;
  static constexpr std::uint8_t kSyncByte = 0x55;
  static constexpr std::uint32_t kFooter = 0xAAAAAAAA;

  explicit CQnSdk(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "QNSDK");
  ~CQnSdk() override;

  bool Open(const boost::property_tree::ptree& parameters) override;
  int ReceiveFrame(std::uint8_t* buffer, int capacity) override;

  static std::size_t FrameLength(std::uint32_t mask);
};

}  // namespace Communication::Device::QN
