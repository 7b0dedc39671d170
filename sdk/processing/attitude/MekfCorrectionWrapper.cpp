#include "processing/attitude/MekfCorrectionWrapper.h"

#include <limits>
#include <string>

#include "common/Log.h"
#include "processing/SdkFrame.h"
#include "processing/attitude/RecordValues.h"

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
  // The filter wants the way gravity pulls; the record holds what an
  // accelerometer reads.
  SetRecordQuaternion(record, filter_.Step(-RecordVector(record.acceleration), RecordVector(record.magneticField),
                                           RecordVector(record.angularRate)));
  return true;
}

}  // namespace Processing::QN
