#include "processing/filter/MekfCorrectionWrapper.h"

#include <limits>
#include <string>

#include <Eigen/Core>

#include "api/Log.h"
#include "processing/SdkFrame.h"

namespace Processing::QN {

CMEKFCorrectionWrapper::CMEKFCorrectionWrapper(std::shared_ptr<Communication::Device::CDevice> sensor)
    : CEndPoint(std::move(sensor)) {}

bool CMEKFCorrectionWrapper::Configure(const boost::property_tree::ptree& configuration, const int*) {
  double frequency = kDefaultFrequency;
  std::string text;
  if (const auto setting = configuration.get_child_optional("Frequency")) {
    text = setting->data();
    frequency = setting->get_value_optional<double>().value_or(std::numeric_limits<double>::quiet_NaN());
  }

  // The host thread resets the filter while the stream thread steps it; the
  // manager's frame gate keeps the two apart (frames are skipped meanwhile).
  if (!filter_.Reset(frequency)) {
    const auto& sensor = GetDevice();
    QLOG(warning) << "\"Frequency\" \"" << text << "\" is no sample rate: the Kalman filter of \""
                  << (sensor ? sensor->GetId() : std::string()) << "\" keeps " << 1 / filter_.SamplePeriod()
                  << " Hz";
  }
  return true;
}

bool CMEKFCorrectionWrapper::Process(const void*, void* output) {
  auto& record = *static_cast<SensorRecord*>(output);
  using Vector = Eigen::Map<const Eigen::Vector3d>;
  // The filter wants the way gravity pulls; the record holds what an
  // accelerometer reads.
  const Eigen::Quaterniond& q =
      filter_.Step(-Vector(record.acceleration), Vector(record.magneticField), Vector(record.angularRate));
  record.quaternion[0] = q.x();
  record.quaternion[1] = q.y();
  record.quaternion[2] = q.z();
  record.quaternion[3] = q.w();
  return true;
}

}  // namespace Processing::QN
