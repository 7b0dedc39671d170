#include "communication/datainterface/network/Network.h"

#include <climits>

#include "common/Log.h"

namespace Communication::DataInterface::Network {

int CNetwork::Read(char* buffer, int length) {
  if (length <= 0) return 0;
  if (!IsOpen()) {
    QLOG(debug) << "<hw> socket not opened";
    return 0;
  }
  const auto wanted = static_cast<std::size_t>(length);
  std::size_t delivered = ring_.Take(buffer, wanted);
  while (delivered < wanted) {
    // The buffer is empty here: everything it held went to this Read.
    const std::size_t chunk = ReceiveChunk(ring_.Space(), kRingCapacity);
    if (chunk == 0) return 0;
    ring_.Filled(chunk);
    delivered += ring_.Take(buffer + delivered, wanted - delivered);
  }
  return length;
}

std::optional<boost::asio::ip::address_v4> CNetwork::ReadRemoteKeys(const boost::property_tree::ptree& parameters) {
  std::string address;
  const auto remote = AddressKey(parameters, "ip", kDefaultAddress, address);
  if (!remote) return std::nullopt;
  const auto port = NumberKey(parameters, "port", kDefaultPort, USHRT_MAX);
  if (!port) return std::nullopt;
  const auto timeout = NumberKey(parameters, "transmissiontimeout", timeout_.count(), UINT_MAX);
  if (!timeout) return std::nullopt;
  address_ = std::move(address);
  port_ = static_cast<std::uint16_t>(*port);
  timeout_ = std::chrono::milliseconds(*timeout);
  return remote;
}

std::optional<boost::asio::ip::address_v4> CNetwork::AddressKey(const boost::property_tree::ptree& parameters,
                                                                const char* key, const char* fallback,
                                                                std::string& text) {
  text = parameters.get<std::string>(key, fallback);
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address_v4(text, error);
  if (error) {
    QLOG(error) << "<hw> cann't open socket: invalid " << key << " " << text;
    return std::nullopt;
  }
  return address;
}

std::optional<long long> CNetwork::NumberKey(const boost::property_tree::ptree& parameters, const char* key,
                                             long long fallback, long long max) {
  const auto text = parameters.get_optional<std::string>(key);
  if (!text) return fallback;
  const auto value = parameters.get_optional<long long>(key);
  if (!value || *value < 0 || *value > max) {
    QLOG(error) << "<hw> cann't open socket: invalid " << key << " " << *text;
    return std::nullopt;
  }
  return *value;
}

bool CNetwork::RunForTimeout() {
  io_.restart();
  io_.run_for(timeout_);
  return io_.stopped();
}

}  // namespace Communication::DataInterface::Network
