#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "simhub/Personality.h"

namespace SimHub {

// The USB CU hub: one slot per sensor on a bus of its own (see SimulatedHub.h).
class CuHub : public Personality {
 public:
  struct Slot {
    std::uint16_t period = 0;  // us
    std::uint16_t formatCode = 0;
    std::uint8_t blockSize = 0;
  };

  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;
  std::optional<std::size_t> FlashTarget(const HubState& state, std::uint8_t address) const override;

  // The sensor's bus address, or none for an internal slot.
  static std::optional<std::uint8_t> Address(const HubState& state, std::size_t sensor);

 private:
  static void Identify(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void State(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Switches(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void SlotTable(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void ReadFlash(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void WriteFlash(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Reset(Personality& kind, HubState& state, const Request& request, Replies& replies);

  // Made on first use from the sensors the hub was given.
  std::vector<Slot>& Slots(const HubState& state);
  Bytes HubStateBytes(const HubState& state);
  // The sensor a request addressed to a bus address reaches; a request to an
  // address nobody answers gets the hub's direct access timeout.
  std::optional<std::size_t> BusSensor(const HubState& state, const Request& request, Replies& replies);

  std::vector<Slot> slots_;
  std::size_t active_ = 0;
  bool made_ = false;
};

std::unique_ptr<Personality> MakeCuHub();

}  // namespace SimHub
