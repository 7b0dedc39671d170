#pragma once

#include "processing/model/DKv5.h"

namespace Processing::QN {

// DKv7: DKv5's calibration and processing; its image keeps only the
// magnetic-field deviation, so store and restore need bit 2.
class CDKv7 : public CDKv5 {
 public:
  using CDKv5::CDKv5;
  // Checks all nine offsets and the matrix, stores the magnetic-field part.
  bool StoreCalibration(FlashImage& image, std::uint32_t flags) override;
  bool RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) override;
};

}  // namespace Processing::QN
