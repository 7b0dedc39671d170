#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace Communication::Native {

// A COM port opened directly, as the VectorNav driver uses it: exclusively,
// 8 data bits, no parity, one stop bit at a given baud rate; reads that wait
// about a millisecond at most and writes bounded by the time the line needs.
class ComPortFile {
 public:
  ComPortFile() = default;
  ~ComPortFile();
  ComPortFile(const ComPortFile&) = delete;
  ComPortFile& operator=(const ComPortFile&) = delete;

  // portName is "COM" and the port's number.
  std::error_code Open(const std::string& portName, unsigned baudRate);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // What arrives within about a millisecond, at most `capacity` bytes; 0 for nothing.
  std::size_t Read(std::uint8_t* buffer, std::size_t capacity);
  // All bytes, within 3 ms per byte plus 2 ms.
  std::error_code Write(const char* data, std::size_t length);

 private:
  int fd_ = -1;
};

}  // namespace Communication::Native
