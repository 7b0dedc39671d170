#pragma once

#include <memory>

#include "simhub/Personality.h"

namespace SimHub {

class BsMainHub : public Personality {
 public:
  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;
};

std::unique_ptr<Personality> MakeBsMainHub();

}  // namespace SimHub
