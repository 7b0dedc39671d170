#pragma once

#include <memory>

#include "processing/decoders/EndPoint.h"
#include "processing/filters/MekfFilter.h"

namespace Processing::QN {

// The Kalman attitude stage behind a sensor model: turns the record's
// acceleration, angular rate and magnetic field into its orientation quaternion.
class CMEKFCorrectionWrapper : public CEndPoint {
 public:
  static constexpr double kDefaultFrequency = 60;  // Hz, when "Frequency" is absent

  explicit CMEKFCorrectionWrapper(std::shared_ptr<Communication::Device::CDevice> sensor);

  // Restarts the filter's alignment at the "Frequency" read here. A value that
  // is no positive rate keeps the previous one, with a warning. Always true.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // Output: the sensor's SensorRecord; only its quaternion is written.
  bool Process(const void* input, void* output) override;

 private:
  CMekfFilter filter_;
};

}  // namespace Processing::QN
