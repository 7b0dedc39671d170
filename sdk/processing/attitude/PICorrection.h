#pragma once

#include <memory>
#include <string>

#include "communication/qn/Sensor.h"
#include "processing/decoders/EndPoint.h"
#include "processing/filters/PIAttitude.h"

namespace Processing::QN {

// The attitude stage behind a sensor model unless the configuration asks for
// the Kalman filter: turns the calibrated acceleration, angular rate and
// magnetic field that the model wrote into the record's orientation
// quaternion and stamps the record (32-bit milliseconds at record byte 456).
//
// Configure and the commands change the stage's state on the host's thread;
// the manager keeps them apart from frames (its frame gate), so the stage
// needs no lock of its own.
class CPICorrection : public CEndPoint {
 public:
  explicit CPICorrection(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor);

  // Mode 2 asks only for a re-initialisation at the next frame; otherwise
  // reads every parameter, with "sensor_<position>_<key>" overriding "<key>",
  // and starts a new start phase. Throws std::logic_error "unknown frequency"
  // before anything changes.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // "set <name>" and "get <name>" with arrays of 32 doubles by position;
  // "computegyrooffset". True for every "set " and "get ", known name or not.
  bool ExecuteCommand(const std::string& command, void* input, void* output) override;
  // Input: unused; output: the sensor's SensorRecord.
  bool Process(const void* input, void* output) override;

 private:
  int position_;
  PIParameters parameters_;
  CPIAttitude attitude_;
  // Given by "set azimutquantumtrue"; nothing reads them.
  double azimuth_ = 0;
  bool azimuthGiven_ = false;
};

}  // namespace Processing::QN
