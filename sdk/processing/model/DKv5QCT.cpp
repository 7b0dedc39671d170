#include "processing/model/DKv5QCT.h"

#include <array>
#include <cmath>

#include "common/LittleEndian.h"
#include "processing/SdkFrame.h"
#include "processing/attitude/RecordValues.h"
#include "processing/decoders/WordScales.h"

namespace Processing::QN {

namespace {

using LittleEndian::Word;
using namespace WordScale;

using Stored = std::array<double, 4>;  // x, y, z, w
static_assert(sizeof(Stored) == CDKv5QCT::kQuaternionBytes);

Stored ToStored(const Eigen::Quaterniond& q) { return {q.x(), q.y(), q.z(), q.w()}; }
Eigen::Quaterniond FromStored(const Stored& s) { return Quat(s[0], s[1], s[2], s[3]); }

}  // namespace

CDKv5QCT::CDKv5QCT(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor)
    : CEndPoint(sensor),
      position_(sensor ? sensor->GetIndex() : -1),
      cameraSensor_("CameraSensorQuat", kQuaternionBytes),
      objectCamera_("ObjectCameraQuat", kQuaternionBytes),
      objectForCorrect_("ObjectQuatForCorrect", kQuaternionBytes) {
  SetFilterCoefficients(filter_, kDefaultFrequency);
}

bool CDKv5QCT::Configure(const boost::property_tree::ptree& configuration, const int*) {
  // Runs under the manager's frame gate.
  const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(GetDevice());
  const int position = sensor ? sensor->GetIndex() : position_;
  double predictionTime = configuration.get<double>("PredictionTime", 0);
  const double frequency = configuration.get<double>("Frequency", 60);
  double threshold = configuration.get<double>("gyrThreshFormotionDetect", 0.01);
  const int headSensor = configuration.get<int>("headSensor", -1);
  const bool cameraOnGun = configuration.get<bool>("cameraOnGun", false);
  // The sensor's own prediction time counts only together with its own threshold.
  const std::string prefix = "sensor_" + std::to_string(position) + "_";
  if (const auto own = configuration.get_optional<double>(prefix + "gyrThreshFormotionDetect")) {
    threshold = *own;
    if (const auto ownTime = configuration.get_optional<double>(prefix + "PredictionTime")) predictionTime = *ownTime;
  }

  MotionFilter filter;
  SetFilterCoefficients(filter, frequency);  // throws before anything changes
  position_ = position;
  predictionTime_ = predictionTime;
  headSensor_ = headSensor;
  cameraOnGun_ = cameraOnGun;
  filter_ = filter;
  ResetMotionCounter(counter_, threshold);
  return true;
}

bool CDKv5QCT::Process(const void* input, void* output) {
  if (!input || !output) return false;
  const auto* w = static_cast<const std::uint8_t*>(input);
  auto& record = *static_cast<SensorRecord*>(output);

  Eigen::Quaterniond q = Quat(Word(w, 1) * k2m15, Word(w, 2) * k2m15, Word(w, 3) * k2m15, Word(w, 0) * k2m15);
  const Eigen::Vector3d rate(Word(w, 10) * k2m10, Word(w, 11) * k2m10, Word(w, 12) * k2m10);
  for (int i = 0; i < 3; ++i) {
    record.acceleration[i] = -Word(w, 4 + i) * k2m14;
    record.magneticField[i] = Word(w, 7 + i) * k2m14;
    record.angularRate[i] = rate[i];
  }
  record.temperature = Word(w, 14) * k2m15;

  const Eigen::Vector3d r = rate * 1000 * k2m10;
  const Eigen::Vector3d v = predictionTime_ * r * 0.001;  // rotation vector (rad)
  const bool moving = MotionCounterUpdate(counter_, MotionFilterStep(filter_, r.norm())) >= 1;
  if (moving) {
    const double n = v.norm();
    if (n > 0) {
      const double h = n / 2;
      const Eigen::Vector3d axis = v * std::sin(h) / n;
      const Eigen::Quaterniond predicted = q * Quat(axis.x(), axis.y(), axis.z(), std::cos(h));
      if (AllFinite(predicted)) q = predicted;
    }
  }
  SetRecordQuaternion(record, q);

  if (moving && position_ == headSensor_) {
    const Stored own = ToStored(q);
    cameraSensor_.Set(own.data(), sizeof own);
    Stored objectCamera;
    if (objectCamera_.Get(objectCamera.data(), sizeof objectCamera)) {
      const Eigen::Quaterniond o = FromStored(objectCamera);
      const Eigen::Quaterniond k = q * (cameraOnGun_ ? o.conjugate() : o);
      // A zero quaternion on either side makes no orientation to publish.
      const double norm = k.norm();
      if (norm > 0 && std::isfinite(norm)) {
        const Stored combined = ToStored(Eigen::Quaterniond(k.coeffs() / norm));
        objectForCorrect_.Set(combined.data(), sizeof combined);
      }
    }
  }
  return true;
}

}  // namespace Processing::QN
