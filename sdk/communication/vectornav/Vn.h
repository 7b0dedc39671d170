#pragma once

#include <boost/property_tree/ptree.hpp>

#include "communication/Hub.h"
#include "communication/vectornav/Driver.h"

namespace Communication::Device {

// A VectorNav sensor on a serial port of its own. It does not use the device
// set's transport: its driver opens the port, and the driver's reader thread,
// not a stream thread, hands every decoded record (Vn::Record) to the data
// handler.
class CVn : public CHub {
 public:
  explicit CVn(std::string id = "vn");
  // Closes a device that is still connected.
  ~CVn() override;

  // Hands the latest record to the data handler once; no thread runs it.
  void Run() override;
  // Connects to "COM" and the "com" key at the "baudrate" key, configures the
  // sensor and installs the record callback; false when any step fails.
  bool Open(const boost::property_tree::ptree& parameters) override;
  void Close() override;
  void StartStream() override;
  void StopStream() override;
  // Switches the text outputs off and the binary output on at "frequency";
  // false when the binary output cannot be set up or the rate is no number.
  virtual bool Configure(const boost::property_tree::ptree& parameters);

 private:
  static void OnRecord(void* self, const Vn::Record& record);

  Vn::CDriver driver_;
};

}  // namespace Communication::Device
