#pragma once

#include <chrono>
#include <cstdint>

#include <boost/property_tree/ptree.hpp>

#include "communication/Hub.h"
#include "communication/memsense/Packet.h"

namespace Communication::Device {

// A Memsense sensor on the device set's transport: configured by a fixed
// series of acknowledged packets, then streaming data packets, whose value
// groups reach the data handler in little-endian order.
class CMemsens : public CHub {
 public:
  static constexpr std::size_t kBufferSize = 512;
  // Longest a request waits for its acknowledgement while other packets keep coming.
  static constexpr std::chrono::milliseconds kAckDeadline{1000};
  // Pause before every packet sent.
  static constexpr std::chrono::milliseconds kSendPause{10};

  explicit CMemsens(std::string id = "memsense");

  void Run() override;
  // Opens the transport, configures the sensor, starts the stream thread.
  bool Open(const boost::property_tree::ptree& parameters) override;

  // Sends the configuration series, each packet awaiting its acknowledgement.
  virtual bool Configure();
  // One checked packet at the start of buffer: its length, or 0. The capacity
  // must hold the whole packet.
  virtual int ReceivePacket(std::uint8_t* buffer, int capacity);
  // With framed, data to frame (see Memsense::Build); otherwise a packet the
  // caller built.
  virtual bool SendPacket(const std::uint8_t* data, int length, bool framed);
  // Sends and waits for the acknowledgement; its length with the packet in
  // reply, or 0 when the send fails, a receive yields nothing or the deadline passes.
  virtual int Request(const std::uint8_t* request, int length, std::uint8_t* reply, int capacity, bool framed);

 private:
  int AwaitAcknowledgement(std::uint8_t requestId, std::uint8_t* reply, int capacity);
};

}  // namespace Communication::Device
