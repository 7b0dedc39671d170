#pragma once

#include <Eigen/Geometry>

#include "processing/SdkFrame.h"
#include "processing/filters/Quaternion.h"

// A sensor record's values as the attitude filters take them, in the
// conventions of filters/Quaternion.h.
namespace Processing::QN {

inline Eigen::Quaterniond RecordQuaternion(const SensorRecord& record) {
  return Quat(record.quaternion[0], record.quaternion[1], record.quaternion[2], record.quaternion[3]);
}

inline void SetRecordQuaternion(SensorRecord& record, const Eigen::Quaterniond& q) {
  record.quaternion[0] = q.x();
  record.quaternion[1] = q.y();
  record.quaternion[2] = q.z();
  record.quaternion[3] = q.w();
}

inline Eigen::Vector3d RecordVector(const double (&values)[3]) { return {values[0], values[1], values[2]}; }

}  // namespace Processing::QN
