#pragma once

// A stand-in for a VectorNav sensor on a pseudo-terminal, written apart from
// the SDK's driver so that tests check the driver against the wire format.
//
// Commands: lines "$" text "*" checksum CR LF, the checksum the XOR of the
// characters between "$" and "*" in two hexadecimal digits. A line whose
// checksum does not match is ignored. A register write "$VNWRG,<register>,..."
// is answered by its own text, checksum recomputed; the sensor acts on two:
//   6  text output: "$VNWRG,6,0" switches the text data output off.
//   75 binary output 1: "$VNWRG,75,1,<divisor>,1,530" streams binary
//      packets at 800 Hz / divisor, divisor 0 stops them.
// Nothing else is answered.
//
// Binary packet (group byte 0x01, Common field mask 0x0530, 66 bytes):
//   FA 01 30 05, then little-endian floats: quaternion x, y, z, w; angular
//   rate x, y, z; acceleration x, y, z; magnetic field x, y, z, temperature,
//   pressure: 15 floats, value k of packet n is PacketValue(seed, n, k); then
//   the CRC-16 (polynomial 0x1021, initial 0) of bytes 1 to 63, high byte first.
//
// Text data output (while on): "$<header>,<values>*XX\r\n" at textRateHz;
// message n carries TextValue(seed, n, k) for its k-th field, written "%+.4f".
// Known headers: VNYMR (12 fields), VNQTN (4).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>


namespace SensorSim {

using Bytes = std::vector<std::uint8_t>;

struct VectorNavOptions {
  int seed = 0;  // 0 to 9: sets this sensor's values apart from another's
  // The text data output streaming from the start ("" none, "VNYMR", "VNQTN").
  std::string textOutput;
  double textRateHz = 100;
  // Faults, none by default:
  int unansweredCommands = 0;    // the first n commands get no answer
  int errorNumber = 0;           // answers register writes with "$VNERR,<n>" instead
  bool textBeforeReply = false;  // a text data output goes out just before each answer
};

class SimulatedVectorNav {
 public:
  explicit SimulatedVectorNav(VectorNavOptions options);
  ~SimulatedVectorNav();
  SimulatedVectorNav(const SimulatedVectorNav&) = delete;
  SimulatedVectorNav& operator=(const SimulatedVectorNav&) = delete;

  void AttachPty(const std::filesystem::path& directory, int com);
  void Stop();

  // Every command line received whole, checksum and line end included.
  std::vector<std::string> Commands() const;
  bool WaitForCommands(std::size_t count, std::chrono::milliseconds limit) const;
  std::uint64_t PacketsSent() const;
  bool WaitForPackets(std::uint64_t count, std::chrono::milliseconds limit) const;
  unsigned Divisor() const;  // 0 while binary output is off
  bool TextOutputOn() const;
  // Puts bytes on the line as they stand, as a test's own.
  void SendRaw(const Bytes& bytes);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

float PacketValue(int seed, std::uint32_t counter, int index);
double TextValue(int seed, std::uint32_t counter, int index);

// The simulator's own codec, for tests that build bytes by hand.
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count);
// "$" body "*XX\r\n".
std::string TextLine(const std::string& body);
// Sync byte, group byte, field masks, payload, CRC.
Bytes BinaryPacket(std::uint8_t groups, const std::vector<std::uint16_t>& fieldMasks, const Bytes& payload);
// The streamed packet n of a sensor.
Bytes CommonPacket(int seed, std::uint32_t counter);

}  // namespace SensorSim
