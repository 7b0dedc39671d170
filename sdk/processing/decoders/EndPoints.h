#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/decoders/EndPoint.h"

// The end points decode data words that the sensor has already processed. Each
// takes its sensor's block of the raw hub frame, read as signed 16-bit
// little-endian words w0, w1, ..., and writes only the values it names; the
// rest of the record keeps its zeros. They keep no state and cannot fail.
namespace Processing::QN {

// Orientation quaternion: q = (w1, w2, w3, w0) x 2^-15; the fifth word x 2^-15
// goes to the record's further value.
class CQuat : public CEndPoint {
 public:
  static constexpr std::size_t kInputBytes = 5 * 2;
  using CEndPoint::CEndPoint;
  bool Process(const void* input, void* output) override;
};

// Calibrated values, all x 2^-15: acceleration -(w0, w1, w2), magnetic field
// -(w3, w4, w5), angular rate (w6, w7, w8), temperature w9.
class CCalibratedT : public CEndPoint {
 public:
  static constexpr std::size_t kInputBytes = 10 * 2;
  using CEndPoint::CEndPoint;
  bool Process(const void* input, void* output) override;
};

// DKv3 quaternion and calibrated values: q = (-w2, w1, w0, -w3) x 2^-15,
// acceleration (w4, w5, w6) x 2^-14, magnetic field -(w7, w8, w9) x 2^-14,
// angular rate (w10, w11, w12) / 1048.57, temperature w14 x 2^-15; w13 unused.
class CDKv3QCT : public CEndPoint {
 public:
  static constexpr std::size_t kInputBytes = 15 * 2;
  using CEndPoint::CEndPoint;
  bool Process(const void* input, void* output) override;
};

// DKv7 attitude output: the attitude from three angle words, angular rate in
// rad/s, acceleration, temperature; the magnetic field is not written.
class CDKv7Tindra : public CEndPoint {
 public:
  static constexpr std::size_t kInputBytes = 15 * 2;
  using CEndPoint::CEndPoint;
  bool Process(const void* input, void* output) override;
};

// Copies an outside sensor's raw payload to the record's payload bytes.
class CExtender : public CEndPoint {
 public:
  static constexpr std::int64_t kDefaultPayloadLength = 10;  // bytes

  // Takes the sensor's block size as its payload length when it is 1 to 255.
  explicit CExtender(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor);
  bool Process(const void* input, void* output) override;

  std::int64_t PayloadLength() const { return payloadLength_; }

 private:
  std::int64_t payloadLength_ = kDefaultPayloadLength;  // bytes
};

// Decoder of DKv6 and DKv7 quaternion and calibrated values, for the stage
// that serves them: q = (w1, w2, w3, w0) x 2^-15, acceleration (w4, w5, w6) x
// 2^-11, magnetic field (w7, w8, w9) x 2^-11, angular rate (w10, w11, w12) x
// 2^-10, temperature w13 x 2^-8.
constexpr std::size_t kDKv7QCTInputBytes = 14 * 2;
void DecodeDKv7QCT(const std::uint8_t* words, SensorRecord& record);

}  // namespace Processing::QN
