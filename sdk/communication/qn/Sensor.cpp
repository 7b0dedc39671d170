#include "communication/qn/Sensor.h"

namespace Communication::Device::QN {

CSensor::CSensor(std::string identity, int dataType, int dataOffset, int dataSize, int position, Bytes state,
                 Bytes flash)
    : Device::CSensor(std::move(identity), "quenlith"),
      dataType_(dataType),
      dataOffset_(dataOffset),
      dataSize_(dataSize),
      position_(position),
      state_(std::move(state)),
      flash_(std::move(flash)) {}

}  // namespace Communication::Device::QN
