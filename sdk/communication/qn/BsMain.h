#pragma once

#include <chrono>

#include "communication/qn/Hub.h"

namespace Communication::Device::QN {

// The base-station hub: told its sensors' output format, it reports its
// identity and state and streams the data frames of its 20 sensor places.
class CBsMain : public CHub {
 public:
  static constexpr int kSensorCount = 20;
  // The hub needs this long after power-on before it takes its configuration.
  static constexpr std::chrono::milliseconds kSettleTime{3000};
  // The data format word in the hub's state.
  static constexpr std::size_t kStateFormatOffset = 4;

  explicit CBsMain(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "BSmain");
  ~CBsMain() override;

  bool Open(const boost::property_tree::ptree& parameters) override;
  void SetAutoTx(bool on) override;
  void SetPower(bool on) override;
  // Tells the hub the output format chosen by the "device" words, then
  // identifies it and finds its sensors.
  bool Configure(const boost::property_tree::ptree& parameters) override;

  // Asks for the identity, which becomes this hub's id, and the hub state.
  virtual bool GetHubId();
  // Replaces the sensor list by the hub's places in the format its state reports.
  virtual void FindSensors();
  virtual const Bytes& GetHubState() const { return hubState_; }

 private:
  Bytes hubState_;
};

}  // namespace Communication::Device::QN
