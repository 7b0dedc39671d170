#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/system/error_code.hpp>

#include "communication/datainterface/DataInterface.h"
#include "communication/datainterface/network/ReceiveBuffer.h"

namespace Communication::DataInterface::Network {

// Base of the TCP and UDP transports: the keys both read, the I/O service
// that a Read runs on the calling thread, and the buffer that keeps what a
// received chunk held beyond the Read that asked for it.
class CNetwork : public CDataInterface {
 public:
  static constexpr std::size_t kRingCapacity = ReceiveBuffer::kCapacity;
  static constexpr const char* kDefaultAddress = "127.0.0.1";
  static constexpr std::uint16_t kDefaultPort = 2000;

  // All length bytes, or 0 once a receive has waited the read time-out in
  // vain. Bytes taken for a Read that then gives 0 are lost to the caller.
  int Read(char* buffer, int length) override;

 protected:
  CNetwork() = default;

  // Whether the socket is open.
  virtual bool IsOpen() const = 0;
  // Receives one chunk of at most `capacity` bytes into `into`, waiting at
  // most the read time-out; its size, or 0 (logged) after a time-out or error.
  virtual std::size_t ReceiveChunk(char* into, std::size_t capacity) = 0;

  // Reads "ip", "port" and "transmissiontimeout" into the members below; the
  // remote address, or none, with an error record, when a value cannot serve.
  std::optional<boost::asio::ip::address_v4> ReadRemoteKeys(const boost::property_tree::ptree& parameters);
  // An address key's value as an IPv4 address (names are not resolved); none,
  // with an error record, when it is not one.
  static std::optional<boost::asio::ip::address_v4> AddressKey(const boost::property_tree::ptree& parameters,
                                                               const char* key, const char* fallback,
                                                               std::string& text);
  // A whole number in 0 to `max`, `fallback` when the key is absent; none,
  // with an error record, when its value is anything else.
  static std::optional<long long> NumberKey(const boost::property_tree::ptree& parameters, const char* key,
                                            long long fallback, long long max);

  // What the operation last started on the I/O service came to.
  struct Outcome {
    bool done = false;
    boost::system::error_code error;
    std::size_t bytes = 0;
  };
  // Starts tracking a new operation; the handler to give it. A handler
  // records its outcome only while its operation is the current one, so one
  // left behind by a failed run cannot touch a later operation.
  auto Track() {
    const unsigned operation = ++operation_;
    outcome_ = Outcome{};
    return [this, operation](const boost::system::error_code& error, std::size_t bytes = 0) {
      if (operation == operation_) outcome_ = Outcome{true, error, bytes};
    };
  }
  // Runs the I/O service on the calling thread until the tracked operation
  // has completed or the time-out has passed, in the manner of Asio's
  // blocking client example; false on time-out, the operation still pending.
  // The caller then cancels it and lets it finish with io_.run().
  bool RunForTimeout();

  std::chrono::milliseconds timeout_{1000};
  boost::asio::io_context io_;
  std::string address_ = kDefaultAddress;  // remote address, as given
  std::uint16_t port_ = kDefaultPort;      // remote port
  ReceiveBuffer ring_;
  Outcome outcome_;

 private:
  unsigned operation_ = 0;
};

}  // namespace Communication::DataInterface::Network
