#include "communication/qn/QnSdk.h"

#include <bitset>

#include <boost/log/utility/manipulators/dump.hpp>

#include "common/Log.h"

namespace Communication::Device::QN {

namespace {

constexpr std::size_t kSyncBytes = 4;
constexpr std::size_t kMaskOffset = 4;

}  // namespace

static_assert(CQnSdk::kHeaderBytes + CQnSdk::kFooterBytes == 16);
static_assert(CQnSdk::kHeaderBytes + 32 * CQnSdk::kRecordBytes + CQnSdk::kFooterBytes <= Frame::kMaxLength,
              "a frame of every record fits the receive buffer");

CQnSdk::CQnSdk(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id)
    : CHub(std::move(transport), std::move(id)) {}

CQnSdk::~CQnSdk() { CloseQuietly(); }

bool CQnSdk::Open(const boost::property_tree::ptree& parameters) {
  if (!CHub::Open(parameters)) return false;
  if (!CHub::Configure(parameters)) {
    QLOG(error) << "configure hub failed";
    return false;
  }
  StartStream();
  return true;
}

std::size_t CQnSdk::FrameLength(std::uint32_t mask) {
  return kHeaderBytes + kRecordBytes * std::bitset<32>(mask).count() + kFooterBytes;
}

int CQnSdk::ReceiveFrame(std::uint8_t* buffer, int capacity) {
  const auto& transport = GetTransport();
  if (!transport || capacity < static_cast<int>(kHeaderBytes + kFooterBytes)) return 0;
  char* bytes = reinterpret_cast<char*>(buffer);
  for (std::size_t i = 0; i < kSyncBytes; ++i)
    if (transport->Read(bytes + i, 1) != 1 || buffer[i] != kSyncByte) return 0;
  if (transport->Read(bytes + kSyncBytes, static_cast<int>(kHeaderBytes - kSyncBytes)) !=
      static_cast<int>(kHeaderBytes - kSyncBytes))
    return 0;
  const std::size_t length = FrameLength(Frame::Long(buffer + kMaskOffset));
  if (static_cast<std::size_t>(capacity) < length) return 0;
  const int rest = static_cast<int>(length - kHeaderBytes);
  if (transport->Read(bytes + kHeaderBytes, rest) != rest) return 0;
  QLOG(trace) << "received data: " << boost::log::dump(buffer, length);
  if (Frame::Long(buffer + length - kFooterBytes) != kFooter) {
    QLOG(trace) << "receive error: wrong footer";
    return 0;
  }
  return static_cast<int>(length);
}

}  // namespace Communication::Device::QN
