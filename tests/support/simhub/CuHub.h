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

  // The slot table as the hub holds it (hub state from offset 8), made on
  // first use from the sensors the hub was given.
  Bytes& Table(const HubState& state);
  std::size_t ActiveSlots(const HubState& state);
  Bytes HubStateBytes(const HubState& state);
  const std::uint8_t* Entry(std::size_t slot) const { return table_.data() + 8 * slot; }
  // The sensor a request addressed to a bus address reaches; a request to an
  // address nobody answers gets no reply, or the hub's direct access timeout
  // when the options ask for it.
  std::optional<std::size_t> BusSensor(const HubState& state, const Request& request, Replies& replies);

  Bytes table_;
  std::size_t slots_ = 0;  // the hub's slots: one per sensor, at most 32
};

std::unique_ptr<Personality> MakeCuHub();

}  // namespace SimHub
