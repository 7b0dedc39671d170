#pragma once

#include <vector>

#include "TestHub.h"

// A maker's hub whose sensor flash writes succeed or fail as the test says;
// every write is kept.
class WritingHub : public TestHub {
 public:
  struct Write {
    int busAddress;
    Communication::Device::QN::Bytes image;
  };

  bool SetSensorFlash(int busAddress, const Communication::Device::QN::Bytes& image) override {
    writes.push_back({busAddress, image});
    return accept;
  }

  std::vector<Write> writes;
  bool accept = true;
};
