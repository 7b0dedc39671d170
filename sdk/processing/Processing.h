#pragma once

#include <memory>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "communication/Device.h"

namespace Processing {

// One step from a raw device frame towards output values: a device's manager,
// a sensor model, a filter or an end point. The base refuses everything.
class CProcessing {
 public:
  explicit CProcessing(std::shared_ptr<Communication::Device::CDevice> device);
  virtual ~CProcessing();

  CProcessing(const CProcessing&) = delete;
  CProcessing& operator=(const CProcessing&) = delete;

  // mode is null except on a reset of mode 2, which passes its mode.
  virtual bool Configure(const boost::property_tree::ptree& configuration, const int* mode);
  virtual bool ExecuteCommand(const std::string& command, void* input, void* output);
  // A manager takes a raw device frame and fills an SdkFrame; a stage takes its
  // sensor's data words and fills the sensor's SensorRecord.
  virtual bool Process(const void* input, void* output);

  const std::shared_ptr<Communication::Device::CDevice>& GetDevice() const { return device_; }

 private:
  std::shared_ptr<Communication::Device::CDevice> device_;
};

}  // namespace Processing
