#pragma once

#include <cstddef>
#include <memory>

#include "communication/qn/Sensor.h"
#include "processing/decoders/EndPoint.h"
#include "processing/filters/MotionDetection.h"
#include "processing/storage/DataStorage.h"

namespace Processing::QN {

// DKv5 sensors that send their own quaternion with calibrated values. While
// the sensor turns, the quaternion is predicted ahead; the head sensor also
// publishes it as "CameraSensorQuat" and, for each new "ObjectCameraQuat",
// publishes the two combined as "ObjectQuatForCorrect" (x, y, z, w doubles).
//
// Configure changes the stage's state on the host's thread; the manager keeps
// it apart from frames (its frame gate), so the stage needs no lock of its own.
class CDKv5QCT : public CEndPoint {
 public:
  static constexpr std::size_t kInputBytes = 15 * 2;
  static constexpr std::size_t kQuaternionBytes = 4 * sizeof(double);
  static constexpr double kDefaultFrequency = 60;  // Hz

  explicit CDKv5QCT(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor);

  // Throws std::logic_error "unknown frequency" before anything changes.
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // Input: the sensor's data words; output: its SensorRecord.
  bool Process(const void* input, void* output) override;

 private:
  int position_;
  double predictionTime_ = 0;  // ms
  int headSensor_ = -1;        // position of the head sensor; -1: none
  bool cameraOnGun_ = false;   // the camera turns with the object: combine with the object's inverse
  MotionFilter filter_;
  MotionCounter counter_;  // threshold 0 until configured: every filter output counts
  SharedStorage::CReader cameraSensor_;
  SharedStorage::CReader objectCamera_;
  SharedStorage::CReader objectForCorrect_;
};

}  // namespace Processing::QN
