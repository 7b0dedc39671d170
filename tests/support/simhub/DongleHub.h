#pragma once

#include <memory>

#include "simhub/Personality.h"

namespace SimHub {

// The USB dongle: one sensor, told its format and period (see SimulatedHub.h).
class DongleHub : public Personality {
 public:
  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;

 private:
  static void Identify(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void State(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Format(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Period(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Poll(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Reset(Personality& kind, HubState& state, const Request& request, Replies& replies);

  std::uint16_t period_ = 0;  // us, as last told
};

std::unique_ptr<Personality> MakeDongleHub();

}  // namespace SimHub
