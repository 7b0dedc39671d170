#pragma once

#include <memory>
#include <string>

#include "ModelImages.h"
#include "communication/qn/Sensor.h"
#include "processing/model/DKv3.h"
#include "processing/model/DKv4.h"
#include "processing/model/DKv5.h"
#include "processing/model/DKv6.h"
#include "processing/model/DKv7.h"
#include "processing/model/DKv7QCT.h"

// A raw-data sensor (data type 0) whose block starts at byte 14 of a data frame.
inline std::shared_ptr<Communication::Device::QN::CSensor> RawSensor(const std::string& identity, int position,
                                                                     ModelImages::Bytes image) {
  return std::make_shared<Communication::Device::QN::CSensor>(identity, 0, 14, 20, position, ModelImages::Bytes{},
                                                              std::move(image));
}

// The models built on the model base, by name.
struct Generation {
  using Model = std::shared_ptr<Processing::QN::CDKv>;
  const char* name;
  Model (*make)(const Processing::QN::CDKv::SensorPtr& sensor, const Processing::QN::CDKv::StagePtr& next);
};

template <class Model>
std::shared_ptr<Processing::QN::CDKv> MakeModel(const Processing::QN::CDKv::SensorPtr& sensor,
                                                const Processing::QN::CDKv::StagePtr& next) {
  return std::make_shared<Model>(sensor, next);
}

inline const Generation kDKv3{"DKv3", &MakeModel<Processing::QN::CDKv3>};
inline const Generation kDKv4{"DKv4", &MakeModel<Processing::QN::CDKv4>};
inline const Generation kDKv5{"DKv5", &MakeModel<Processing::QN::CDKv5>};
inline const Generation kDKv6{"DKv6", &MakeModel<Processing::QN::CDKv6>};
inline const Generation kDKv7{"DKv7", &MakeModel<Processing::QN::CDKv7>};
inline const Generation kDKv7QCT{"DKv7QCT", &MakeModel<Processing::QN::CDKv7QCT>};
