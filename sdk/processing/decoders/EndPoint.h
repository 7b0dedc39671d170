#pragma once

#include "processing/Processing.h"

namespace Processing::QN {

// A stage bound to one sensor of a maker's hub: its device is the sensor. Its
// Process takes the sensor's data words inside the raw hub frame and fills the
// sensor's SensorRecord.
class CEndPoint : public CProcessing {
 public:
  using CProcessing::CProcessing;
};

}  // namespace Processing::QN
