#pragma once

// Why a compensation fit refused its data: the text of the std::logic_error it
// raises, which the collector logs per sensor.
namespace Processing::Compensation::Message {

inline constexpr const char* kCannotFit = "cannot calculate ellipse parameters";
inline constexpr const char* kCannotFitSecondPass = "cannot calculate ellipse parameters at second pass";
inline constexpr const char* kNoEllipsoid = "bad data. Check the sensor flash and magnetometers channel";
inline constexpr const char* kTooLittleData = "too little data collected";
inline constexpr const char* kBadData = "bad data collected";
inline constexpr const char* kBadAxis = "bad axis";

}  // namespace Processing::Compensation::Message
