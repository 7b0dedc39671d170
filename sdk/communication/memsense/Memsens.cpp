#include "communication/memsense/Memsens.h"

#include <array>
#include <thread>

#include <boost/log/utility/manipulators/dump.hpp>

#include "common/LittleEndian.h"
#include "common/Log.h"

namespace Communication::Device {

namespace {

char* Chars(std::uint8_t* bytes) { return reinterpret_cast<char*>(bytes); }
const char* Chars(const std::uint8_t* bytes) { return reinterpret_cast<const char*>(bytes); }

}  // namespace

CMemsens::CMemsens(std::string id) : CHub(std::move(id), "unknown") {}

bool CMemsens::Open(const boost::property_tree::ptree& parameters) {
  const auto& transport = GetTransport();
  if (!transport || !transport->Open(parameters)) {
    QLOG(error) << "<hw> connect to the sensor failed";
    return false;
  }
  if (!Configure()) return false;
  StartStream();
  return true;
}

bool CMemsens::Configure() {
  if (!GetTransport()) return false;
  std::array<std::uint8_t, kBufferSize> reply;
  for (std::size_t step = 0; step < Memsense::kConfiguration.size(); ++step) {
    const auto& row = Memsense::kConfiguration[step];
    if (!SendPacket(row.data.data(), static_cast<int>(row.length), true)) {
      QLOG(error) << "<hw> configuration step " << step + 1 << " of " << Memsense::kConfiguration.size()
                  << " could not be sent";
      return false;
    }
    if (AwaitAcknowledgement(row.data[Memsense::kRequestIdOffset - 2], reply.data(), static_cast<int>(reply.size())) == 0) {
      QLOG(error) << "<hw> configuration step " << step + 1 << " of " << Memsense::kConfiguration.size()
                  << " unanswered";
      return false;
    }
  }
  return true;
}

bool CMemsens::SendPacket(const std::uint8_t* data, int length, bool framed) {
  const auto& transport = GetTransport();
  if (!transport || !data || length <= 0) return false;
  std::this_thread::sleep_for(kSendPause);
  std::array<std::uint8_t, Memsense::kMaxLength> packet;
  const std::uint8_t* bytes = data;
  std::size_t count = static_cast<std::size_t>(length);
  if (framed) {
    count = Memsense::Build(data, count, packet.data(), packet.size());
    if (count == 0) {
      QLOG(error) << "send error: " << length << " bytes of data make no packet";
      return false;
    }
    bytes = packet.data();
  }
  QLOG(trace) << "send data: " << boost::log::dump(bytes, count);
  return transport->Write(Chars(bytes), static_cast<int>(count)) > 0;
}

int CMemsens::ReceivePacket(std::uint8_t* buffer, int capacity) {
  const auto& transport = GetTransport();
  if (!transport || !buffer) return 0;
  // No resynchronisation: a stray byte is consumed and the next call starts over.
  if (capacity <= 3 || transport->Read(Chars(buffer), 1) != 1 || buffer[0] != Memsense::kSync) return 0;
  if (transport->Read(Chars(buffer + 1), 3) != 3) return 0;
  const std::size_t payload = buffer[3];
  if (buffer[1] != Memsense::kSync) {
    QLOG(error) << "receive error: prefix " << LittleEndian::U16(buffer) << ", type " << int{buffer[2]}
                << ", len " << payload;
    return 0;
  }
  const std::size_t length = payload + Memsense::kOverhead;
  if (static_cast<std::size_t>(capacity) < length) return 0;
  const int rest = static_cast<int>(payload + Memsense::kChecksumSize);
  if (transport->Read(Chars(buffer + Memsense::kHeaderSize), rest) != rest) return 0;
  QLOG(trace) << "received data: " << boost::log::dump(buffer, length);
  if (!Memsense::ChecksumsMatch(buffer, length)) {
    QLOG(error) << "receive error: crc";
    return 0;
  }
  return static_cast<int>(length);
}

int CMemsens::Request(const std::uint8_t* request, int length, std::uint8_t* reply, int capacity, bool framed) {
  // A framed request's byte 4 is its data's byte 2.
  const std::size_t idOffset = framed ? Memsense::kRequestIdOffset - 2 : Memsense::kRequestIdOffset;
  if (!request || length <= static_cast<int>(idOffset)) return 0;
  if (!SendPacket(request, length, framed)) return 0;
  const std::uint8_t id = request[idOffset];
  return AwaitAcknowledgement(id, reply, capacity);
}

int CMemsens::AwaitAcknowledgement(std::uint8_t requestId, std::uint8_t* reply, int capacity) {
  // A sensor that streams and never acknowledges would keep this loop busy for good.
  const auto deadline = std::chrono::steady_clock::now() + kAckDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    const int length = ReceivePacket(reply, capacity);
    if (length == 0) return 0;
    if (Memsense::IsAcknowledgement(reply, static_cast<std::size_t>(length), requestId)) return length;
  }
  return 0;
}

void CMemsens::Run() {
  if (!GetTransport()) return;
  std::array<std::uint8_t, kBufferSize> packet;
  while (!StopRequested()) {
    try {
      const int length = ReceivePacket(packet.data(), static_cast<int>(packet.size()));
      if (length == 0 || !HasDataHandler()) continue;
      if (!Memsense::HoldsValueGroups(static_cast<std::size_t>(length))) {
        QLOG(warning) << "<hw> packet of " << length << " bytes dropped: too short for the data values";
        continue;
      }
      Memsense::SwapValueGroups(packet.data());
      DispatchFrame(packet.data());
    } catch (const std::exception& e) {
      QLOG(error) << "<hw> error: " << e.what();
    }
  }
}

}  // namespace Communication::Device
