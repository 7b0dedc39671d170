#pragma once

// A point marked on a simulated hub's line from the client's side: a request
// written from a second opening of the port, by default of a command no hub
// knows. Once the hub has received it, it has received everything written to
// the port before; an answer to it comes after everything the hub sent before.
// The client under test must not send the same command meanwhile.

#include <cstddef>
#include <cstdint>

#include "simhub/SimulatedHub.h"

namespace SimHub {

class LineMarker {
 public:
  static constexpr std::uint16_t kUnknownCommand = 0x7F00;

  explicit LineMarker(const SimulatedHub& hub, std::uint16_t word = kUnknownCommand) : hub_(hub), word_(word) {}

  // Writes a marker, waits until the hub has it and returns its index among
  // the requests the hub received; throws when it does not arrive.
  std::size_t Mark() const;

 private:
  const SimulatedHub& hub_;
  std::uint16_t word_;
};

}  // namespace SimHub
