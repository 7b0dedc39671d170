#pragma once

#include "processing/model/DKv3.h"

namespace Processing::QN {

// DKv4: DKv3's calibration and processing, with the motion-detector thresholds
// of the later generations.
class CDKv4 : public CDKv3 {
 public:
  CDKv4(const SensorPtr& sensor, StagePtr next);
};

}  // namespace Processing::QN
