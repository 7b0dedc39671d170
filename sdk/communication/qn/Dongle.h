#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// The USB dongle: one sensor, which answers to bus address 1. It is told the
// output format and period; a period too long for its 16-bit word makes the
// SDK poll each data frame itself ("software stream").
class CDongle : public CHub {
 public:
  static constexpr int kBusAddress = 1;
  static constexpr std::chrono::milliseconds kFlashWriteSettle{3000};

  explicit CDongle(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "USB_Dongle");
  ~CDongle() override;

  void Run() override;
  bool Open(const boost::property_tree::ptree& parameters) override;
  void SetAutoTx(bool on) override;
  void OnFrame(HubFrame& frame) override;
  // Sends format and period, then finds the sensor.
  bool Configure(const boost::property_tree::ptree& parameters) override;

  bool SetSensorFlash(int busAddress, const Bytes& image) override;

  bool IsSoftwareStream() const { return softwareStream_; }
  std::uint16_t GetFormatCode() const { return formatCode_; }

  // The dongle's data frame carries its sensor's block from offset 8: the
  // hub word 0 and the mask of position 0 go in before it. A frame with no
  // room left for them in its buffer is dropped (length 0).
  static void InsertDataHeader(HubFrame& frame);

 private:
  void ApplyFormatAndPeriod();
  void FindSensor();
  // The one sensor at bus address 1; null (logged) otherwise.
  std::shared_ptr<CSensor> SensorAt(int busAddress) override;

  bool softwareStream_ = false;
  std::uint16_t formatCode_ = 0x0200;
};

}  // namespace Communication::Device::QN
