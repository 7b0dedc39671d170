#pragma once

#include <memory>
#include <string>

namespace Communication::Device {

// Anything the SDK talks to: a hub, a sensor behind it, or an outside maker's device.
class CDevice : public std::enable_shared_from_this<CDevice> {
 public:
  CDevice(std::string id, std::string vendor);
  virtual ~CDevice();

  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  // A hub's kind, or the identity string it or a sensor reported.
  const std::string& GetId() const { return id_; }
  void SetId(std::string id) { id_ = std::move(id); }
  const std::string& GetVendor() const { return vendor_; }

 private:
  std::string id_;
  std::string vendor_;
};

class CSensor : public CDevice {
 public:
  using CDevice::CDevice;
};

}  // namespace Communication::Device
