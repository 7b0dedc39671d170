#pragma once

#include <string>

#include "communication/Device.h"
#include "communication/qn/Frame.h"

namespace Communication::Device::QN {

// One sensor found behind a maker's hub. Immutable once made, except for the
// cached flash image, which a verified flash write replaces.
class CSensor : public Device::CSensor {
 public:
  CSensor(std::string identity, int dataType, int dataOffset, int dataSize, int position, Bytes state, Bytes flash);

  // 0 raw, 1 quaternion, 2 calibrated, 3 quaternion and calibrated, 4 the fixed
  // stream sensor's attitude output; 0x7FFFFFFF when the format is unknown.
  virtual int GetDataType() const { return dataType_; }
  // Byte offset of this sensor's block in a data frame.
  virtual int GetDataOffset() const { return dataOffset_; }
  virtual int GetDataSize() const { return dataSize_; }
  // Place 0 to 31 on the hub: bit of the frame mask and block of the output frame.
  virtual int GetIndex() const { return position_; }
  virtual const Bytes& GetState() const { return state_; }
  virtual const Bytes& GetFlash() const { return flash_; }
  virtual void SetFlash(const Bytes& flash) { flash_ = flash; }

 private:
  int dataType_;
  int dataOffset_;
  int dataSize_;
  int position_;
  Bytes state_;
  Bytes flash_;
};

}  // namespace Communication::Device::QN
