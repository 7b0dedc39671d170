#include "processing/model/DKv4.h"

namespace Processing::QN {

// Built as a DKv3 model first, so next sees the DKv3 thresholds, then these.
CDKv4::CDKv4(const SensorPtr& sensor, StagePtr next) : CDKv3(sensor, std::move(next)) {
  SendMotionThresholds(0.02, 0.05);
}

}  // namespace Processing::QN
