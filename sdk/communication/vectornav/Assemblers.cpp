#include "communication/vectornav/Assemblers.h"

#include "communication/vectornav/Protocol.h"

namespace Communication::Device::Vn {

bool TextAssembler::Push(std::uint8_t byte) {
  if (byte == '$') {
    open_ = true;
    length_ = 0;
  }
  if (!open_) return false;
  buffer_[length_++] = static_cast<char>(byte);
  if (byte == '\n' && length_ >= 2 && buffer_[length_ - 2] == '\r') {
    open_ = false;
    return true;
  }
  if (length_ == kMaxLength) {
    open_ = false;
    length_ = 0;
  }
  return false;
}

bool BinaryAssembler::Push(std::uint8_t byte) {
  if (length_ == 0) {
    if (byte != Binary::kSync) return false;
    buffer_[0] = byte;
    length_ = 1;
    total_ = 0;
    return false;
  }
  buffer_[length_++] = byte;
  if (length_ == 2 && !Binary::KnownGroups(byte)) {
    length_ = 0;
    return false;
  }
  if (total_ == 0 && length_ >= 2 && length_ == Binary::HeaderLength(buffer_[1])) {
    total_ = Binary::TotalLength(buffer_.data());
    if (total_ > Binary::kMaxLength) {
      length_ = 0;
      return false;
    }
  }
  if (total_ == 0 || length_ < total_) return false;
  length_ = 0;
  if (Crc16(buffer_.data() + 1, total_ - 1) != 0) return false;
  complete_ = total_;
  return true;
}

}  // namespace Communication::Device::Vn
