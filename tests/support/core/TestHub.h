#pragma once

#include <memory>
#include <string>

#include "communication/qn/Hub.h"
#include "communication/qn/Sensor.h"

// A maker's hub with a sensor list given by the test; it never streams.
class TestHub : public Communication::Device::QN::CHub {
 public:
  TestHub() : CHub(nullptr, "BSmain") {}
  void Run() override {}

  TestHub& Add(std::shared_ptr<Communication::Device::QN::CSensor> sensor) {
    sensors_.push_back(std::move(sensor));
    return *this;
  }
  TestHub& Add(const std::string& identity, int dataType, int offset, int size, int position,
               Communication::Device::QN::Bytes flash = {}) {
    return Add(std::make_shared<Communication::Device::QN::CSensor>(
        identity, dataType, offset, size, position, Communication::Device::QN::Bytes{}, std::move(flash)));
  }
};
