#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "communication/Hub.h"
#include "communication/qn/Sensor.h"
#include "processing/Processing.h"

// Which stages serve a sensor of a maker's hub, by the sensor's generation and
// data type. A stage whose maker this build lacks leaves a named hole: the
// sensor gets no chain element and the hole is logged where it is hit.
namespace Processing::Manager::QN {

using SensorPtr = std::shared_ptr<Communication::Device::QN::CSensor>;
using StagePtr = std::shared_ptr<CProcessing>;
using Chain = std::vector<StagePtr>;

struct ChainElement {
  StagePtr stage;
  // Bytes of the data frame, from the sensor's data offset, that the stage reads.
  std::size_t inputBytes = 0;
  // Set when the table names a stage that this build does not make.
  std::string_view missingStage;
};

// First stage of a sensor's chain; only the sensor models receive next. Null
// with no missing stage: the table has nothing for this generation and type.
ChainElement CreateChainElement(const std::string& identity, const SensorPtr& sensor, const StagePtr& next);

// The attitude correction that follows a sensor model, chosen by the
// "processing" value; null while this build lacks it (logged).
StagePtr CreateCorrection(const std::string& processing, const SensorPtr& sensor);

// The deviation-compensation collector that answers "dc " commands over the
// manager's chain.
StagePtr CreateCollector(const std::shared_ptr<Communication::Device::CHub>& hub, const Chain* chain);

}  // namespace Processing::Manager::QN
