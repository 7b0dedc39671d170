#pragma once

#include <optional>
#include <string>

#include "FlashLayout.h"

namespace Lumeth::Core::SensorLibrary {

// What the sensor stream learnt of its sensor, handed over once per start.
struct QuenlithSensorInformation {
  std::optional<std::string> mcuIdentity;  // the identity text that holds "mCU"
  std::string firmware;                    // the identity text that names the generation ("DKv<digit>")
  FlashFields fields;                      // decoded from the sensor's flash block
};

}  // namespace Lumeth::Core::SensorLibrary
