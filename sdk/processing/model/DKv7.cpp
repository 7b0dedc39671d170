#include "processing/model/DKv7.h"

#include "processing/model/CalibrationArea.h"

namespace Processing::QN {

bool CDKv7::StoreCalibration(FlashImage& image, std::uint32_t flags) {
  CalibrationArea::StoreMagOnly(image, flags, Offsets(), 0, DeviationMatrix(2), CalculatedSinceLoad(2));
  return true;
}

bool CDKv7::RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) {
  CalibrationArea::RestoreMagOnly(image, flags, method);
  return true;
}

}  // namespace Processing::QN
