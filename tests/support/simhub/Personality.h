#pragma once

// What a hub kind is made of: the state every kind shares, the table of
// requests it answers and how it builds its data frames. A new request is a
// handler function and one row in a kind's table; a new kind is a class on
// Personality and one row in the kind table (Personalities.cpp).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simhub/SimulatedHub.h"

namespace SimHub {

// Faults waiting for the next flash requests (IsFlashFault).
struct FlashFaults {
  Fault write = Fault::None;
  int writes = 0;
  Fault read = Fault::None;
  int reads = 0;

  void Add(Fault fault, int count);
  Fault TakeWrite();
  Fault TakeRead();
};

// Everything a hub knows, owned by the hub's serving thread under its lock.
struct HubState {
  HubOptions options;
  std::string identity;
  std::uint16_t formatCode = 0;
  bool autoTransmit = false;
  bool power = false;
  std::uint16_t counter = 0;  // of the next data frame
  FlashFaults flashFaults;
  bool dropLine = false;  // set by a handler: the line drops once its replies are out
};

// One received, checked request.
struct Request {
  const Bytes& frame;
  std::uint8_t address;
  std::uint16_t word;
  Bytes data;
};

// Frames a handler wants sent, in order.
using Replies = std::vector<Bytes>;

// Answers with the request's command byte and sub-code 0x10. Replies always
// come from the hub's address (0xAA 0x55), also to requests that were
// addressed to a sensor on the hub's bus.
void Reply(Replies& replies, const Request& request, const Bytes& data);

class Personality;
// A kind's own handlers are static members of its class, which reach the
// kind's own fields through static_cast of `kind`.
using Handler = void (*)(Personality& kind, HubState& state, const Request& request, Replies& replies);

struct CommandRow {
  std::uint16_t word;
  Handler handle;
};

class Personality {
 public:
  virtual ~Personality() = default;

  virtual const std::vector<CommandRow>& Commands() const = 0;
  // The next data frame; called only while auto-transmit is on.
  virtual Bytes DataFrame(HubState& state) = 0;
  // The sensor whose flash a flash request at this frame address reaches.
  virtual std::optional<std::size_t> FlashTarget(const HubState& state, std::uint8_t address) const;
  // Whether the hub streams while the line is open without being told to.
  virtual bool StreamsUnasked() const { return false; }
  // Block size in a data frame (bytes) for a data format code; 0 when unknown.
  static std::size_t BlockSize(std::uint16_t formatCode);
  static int DataType(std::uint16_t formatCode);  // -1 when unknown
};

// The data frame of a hub that carries one sensor: the counter word, then the
// sensor's block of synthetic words as the test's hook leaves them.
Bytes SingleSensorDataFrame(HubState& state, std::uint16_t commandWord, std::size_t blockSize, std::uint32_t mask);

// Handlers any kind may list.
namespace Handlers {
void Ignore(Personality&, HubState&, const Request&, Replies&);
void Identify(Personality&, HubState&, const Request&, Replies&);
void ReadFlash(Personality&, HubState&, const Request&, Replies&);
void WriteFlash(Personality&, HubState&, const Request&, Replies&);
void AutoTransmit(Personality&, HubState&, const Request&, Replies&);
// A flash image as a read request gets it, after any read fault.
void ReplyFlash(HubState& state, const Request& request, const Bytes& image, Replies& replies);
// Stores a written image in a sensor, after any write fault, and answers as
// the options and the fault say.
void StoreFlash(HubState& state, SimSensor& sensor, const Request& request, Replies& replies);
}  // namespace Handlers

struct KindRow {
  HubKind kind;
  const char* name;            // as given to the standalone program's --kind
  const char* defaultIdentity;
  std::unique_ptr<Personality> (*make)();
};
const KindRow& KindInfo(HubKind kind);
const std::vector<KindRow>& Kinds();

}  // namespace SimHub
