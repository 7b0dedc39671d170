#pragma once

// A stand-in for a Memsense sensor on a pseudo-terminal, written apart from
// the SDK's driver so that tests check the driver against the wire format.
//
// Packets: A5 A5, message type, payload length N, N payload bytes, checksum A
// (sum of all bytes before it, modulo 256), checksum B (sum of A's running
// values, modulo 256). A packet whose checksums do not match is ignored.
//
// Every other packet of message type 1 or 2 is a configuration packet and is
// acknowledged by
//   A5 A5 <its type> 04 80 02 <its byte 4> 00 <A> <B>
// Once it has acknowledged eight, the sensor streams data packets at
// frameRateHz, message type 0x10, N = 56:
//   offset 4, 18, 32, 46   two bytes: group number 1 to 4, 0x0C
//   offset 6, 20, 34       three big-endian floats each: acceleration,
//                          angular rate, magnetic field;
//                          value k (0 to 8) of packet n is Value(seed, n, k)
//   offset 48              three big-endian 32-bit words Word(seed, n, k)

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>


namespace SensorSim {

using Bytes = std::vector<std::uint8_t>;

struct MemsenseOptions {
  int seed = 0;  // sets this sensor's values apart from another's
  double frameRateHz = 200;
  // Streams data packets from the start, before and during configuration,
  // as a sensor left streaming does.
  bool streamFromStart = false;
  // Faults, none by default:
  int unansweredStep = 0;  // 1 to 8: that configuration packet gets no acknowledgement
};

class SimulatedMemsense {
 public:
  explicit SimulatedMemsense(MemsenseOptions options);
  ~SimulatedMemsense();
  SimulatedMemsense(const SimulatedMemsense&) = delete;
  SimulatedMemsense& operator=(const SimulatedMemsense&) = delete;

  void AttachPty(const std::filesystem::path& directory, int com);
  void Stop();

  // Every packet received whole with matching checksums.
  std::vector<Bytes> Packets() const;
  bool Streaming() const;
  std::uint64_t PacketsSent() const;
  bool WaitForPackets(std::uint64_t count, std::chrono::milliseconds limit) const;
  // Puts bytes on the line as they stand, as a test's own.
  void SendRaw(const Bytes& bytes);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

float MemsenseValue(int seed, std::uint32_t counter, int index);
std::uint32_t MemsenseWord(int seed, std::uint32_t counter, int index);

// The simulator's own codec, for tests that build bytes by hand: the packet
// of this type around the payload, checksums appended.
Bytes MemsensePacket(std::uint8_t type, const Bytes& payload);
// The streamed data packet n of a sensor.
Bytes MemsenseDataPacket(int seed, std::uint32_t counter);

}  // namespace SensorSim
