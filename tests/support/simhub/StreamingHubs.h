#pragma once

#include <memory>

#include "simhub/Personality.h"

namespace SimHub {

// The hubs that stream on their own and take no commands (see SimulatedHub.h).
class StreamHub : public Personality {
 public:
  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;
  bool StreamsUnasked() const override { return true; }
};

class QnSdkHub : public Personality {
 public:
  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;
  bool StreamsUnasked() const override { return true; }
};

std::unique_ptr<Personality> MakeStreamHub();
std::unique_ptr<Personality> MakeQnSdkHub();

}  // namespace SimHub
