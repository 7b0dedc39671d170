#pragma once

#include <memory>
#include <string>

#include "ModelImages.h"
#include "communication/qn/Sensor.h"

// A raw-data sensor (data type 0) whose block starts at byte 14 of a data frame.
inline std::shared_ptr<Communication::Device::QN::CSensor> RawSensor(const std::string& identity, int position,
                                                                     ModelImages::Bytes image) {
  return std::make_shared<Communication::Device::QN::CSensor>(identity, 0, 14, 20, position, ModelImages::Bytes{},
                                                              std::move(image));
}
