#pragma once

#include <string>

#include "communication/Hub.h"
#include "communication/qn/Sensor.h"

namespace Communication::Device::QN {

// Base of the maker's hub kinds, which speak the framed hub protocol.
class CHub : public Device::CHub {
 public:
  CHub(std::shared_ptr<DataInterface::CDataInterface> transport, std::string id);

  // Identity and flash image of the sensor that answers to a bus address; the
  // kinds that map bus addresses override these.
  virtual std::string GetSensorId(int busAddress);
  virtual Bytes GetSensorFlash(int busAddress);
  virtual bool SetSensorFlash(int busAddress, const Bytes& image);
};

}  // namespace Communication::Device::QN
