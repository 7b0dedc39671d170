#include "processing/model/DKv7QCT.h"

#include "processing/model/CalibrationArea.h"

namespace Processing::QN {

bool CDKv7QCT::Configure(const boost::property_tree::ptree&, const int*) { return true; }

bool CDKv7QCT::Process(const void* input, void* output) {
  if (!input || !output) return false;
  DecodeDKv7QCT(static_cast<const std::uint8_t*>(input), *static_cast<SensorRecord*>(output));
  return true;
}

bool CDKv7QCT::LoadCalibration(FlashImage&) {
  // Host thread, frames held off by the manager's gate.
  ResetParameterBlocks();
  return true;
}

bool CDKv7QCT::StoreCalibration(FlashImage& image, std::uint32_t flags) {
  CalibrationArea::StoreMagOnly(image, flags, Offsets(), 6, DeviationMatrix(2), CalculatedSinceLoad(2));
  return true;
}

bool CDKv7QCT::RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) {
  CalibrationArea::RestoreMagOnly(image, flags, method);
  return true;
}

}  // namespace Processing::QN
