#pragma once

#include "processing/decoders/EndPoints.h"
#include "processing/model/DKv.h"

namespace Processing::QN {

// DKv6 and DKv7 sensors that send their own quaternion and calibrated values:
// decoded as they come (DecodeDKv7QCT), with no calibration, compensation or
// next stage. It keeps a magnetic-field deviation compensation only to store
// it into, or restore it in, the sensor's image.
class CDKv7QCT : public CDKv {
 public:
  static constexpr std::size_t kInputBytes = kDKv7QCTInputBytes;

  using CDKv::CDKv;

  // Nothing to configure: true, next untouched.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  bool Process(const void* input, void* output) override;

  // Blocks back to their defaults; the image is not read.
  bool LoadCalibration(FlashImage& image) override;
  // Checks the three magnetic-field offsets and the matrix, stores them.
  bool StoreCalibration(FlashImage& image, std::uint32_t flags) override;
  bool RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method) override;
};

}  // namespace Processing::QN
