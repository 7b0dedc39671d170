#include "processing/manager/ChainFactory.h"

#include <array>

#include "common/Log.h"
#include "processing/attitude/MekfCorrectionWrapper.h"
#include "processing/attitude/PICorrection.h"
#include "processing/decoders/EndPoints.h"
#include "processing/manager/dc/Dc.h"
#include "processing/model/DKv3.h"
#include "processing/model/DKv4.h"
#include "processing/model/DKv5.h"
#include "processing/model/DKv6.h"
#include "processing/model/DKv7.h"
#include "processing/model/DKv5QCT.h"
#include "processing/model/DKv7QCT.h"

namespace Processing::Manager::QN {

namespace {

using namespace Processing::QN;

enum class Stage { None, Quat, CalibratedT, DKv3QCT, DKv7QCT, DKv7Tindra, Extender, DKv3, DKv4, DKv5, DKv6, DKv7, DKv5QCT };

template <class EndPoint>
ChainElement MakeEndPoint(const SensorPtr& sensor, const StagePtr&) {
  return {std::make_shared<EndPoint>(sensor), EndPoint::kInputBytes, {}};
}

ChainElement MakeExtender(const SensorPtr& sensor, const StagePtr&) {
  auto stage = std::make_shared<CExtender>(sensor);
  const auto bytes = static_cast<std::size_t>(stage->PayloadLength());
  return {std::move(stage), bytes, {}};
}

// The models take the attitude correction as their next stage.
template <class Model>
ChainElement MakeModel(const SensorPtr& sensor, const StagePtr& next) {
  return {std::make_shared<Model>(sensor, next), Model::kInputBytes, {}};
}

struct StageRow {
  Stage stage;
  std::string_view name;
  ChainElement (*make)(const SensorPtr& sensor, const StagePtr& next);
};

constexpr std::array<StageRow, 12> kStages{{
    {Stage::Quat, "CQuat", &MakeEndPoint<CQuat>},
    {Stage::CalibratedT, "CCalibratedT", &MakeEndPoint<CCalibratedT>},
    {Stage::DKv3QCT, "CDKv3QCT", &MakeEndPoint<CDKv3QCT>},
    {Stage::DKv7Tindra, "CDKv7Tindra", &MakeEndPoint<CDKv7Tindra>},
    {Stage::Extender, "CExtender", &MakeExtender},
    {Stage::DKv7QCT, "CDKv7QCT", &MakeModel<CDKv7QCT>},
    {Stage::DKv3, "CDKv3", &MakeModel<CDKv3>},
    {Stage::DKv4, "CDKv4", &MakeModel<CDKv4>},
    {Stage::DKv5, "CDKv5", &MakeModel<CDKv5>},
    {Stage::DKv6, "CDKv6", &MakeModel<CDKv6>},
    {Stage::DKv7, "CDKv7", &MakeModel<CDKv7>},
    {Stage::DKv5QCT, "CDKv5QCT", &MakeEndPoint<CDKv5QCT>},
}};

constexpr std::size_t kDataTypes = 5;  // 0 raw, 1 quat, 2 calibrated, 3 quat and calibrated, 4 Tindra

struct GenerationRow {
  std::string_view generation;  // looked for in the sensor's identity, rows in order
  std::array<Stage, kDataTypes> byDataType;
  Stage otherDataType;
};

constexpr std::array<GenerationRow, 6> kGenerations{{
    {"DKv3", {Stage::DKv3, Stage::Quat, Stage::None, Stage::DKv3QCT, Stage::None}, Stage::None},
    {"DKv4", {Stage::DKv4, Stage::None, Stage::CalibratedT, Stage::None, Stage::None}, Stage::None},
    {"DKv5", {Stage::DKv5, Stage::Quat, Stage::CalibratedT, Stage::DKv5QCT, Stage::None}, Stage::None},
    {"DKv6", {Stage::DKv6, Stage::Quat, Stage::CalibratedT, Stage::DKv7QCT, Stage::None}, Stage::None},
    {"DKv7", {Stage::DKv7, Stage::Quat, Stage::CalibratedT, Stage::DKv7QCT, Stage::DKv7Tindra}, Stage::None},
    {"ExtV",
     {Stage::Extender, Stage::Extender, Stage::Extender, Stage::Extender, Stage::Extender},
     Stage::Extender},
}};

struct CorrectionRow {
  std::string_view word;  // in the "processing" value; empty matches anything
  std::string_view name;
  StagePtr (*make)(const SensorPtr& sensor);
};

template <class Correction>
StagePtr MakeCorrection(const SensorPtr& sensor) {
  return std::make_shared<Correction>(sensor);
}

constexpr std::array<CorrectionRow, 2> kCorrections{{
    {"kalman", "CMEKFCorrectionWrapper", &MakeCorrection<CMEKFCorrectionWrapper>},
    {"", "CPICorrection", &MakeCorrection<CPICorrection>},
}};

Stage StageFor(const std::string& identity, int dataType) {
  for (const auto& row : kGenerations) {
    if (identity.find(row.generation) == std::string::npos) continue;
    if (dataType >= 0 && dataType < static_cast<int>(kDataTypes)) return row.byDataType[static_cast<std::size_t>(dataType)];
    return row.otherDataType;
  }
  return Stage::None;
}

}  // namespace

ChainElement CreateChainElement(const std::string& identity, const SensorPtr& sensor, const StagePtr& next) {
  if (!sensor) return {};
  const Stage stage = StageFor(identity, sensor->GetDataType());
  if (stage == Stage::None) return {};
  for (const auto& row : kStages) {
    if (row.stage != stage) continue;
    if (!row.make) return {nullptr, 0, row.name};
    return row.make(sensor, next);
  }
  return {};
}

StagePtr CreateCorrection(const std::string& processing, const SensorPtr& sensor) {
  for (const auto& row : kCorrections) {
    if (processing.find(row.word) == std::string::npos) continue;
    if (row.make) return row.make(sensor);
    QLOG(debug) << "no " << row.name << " stage in this build";
    return nullptr;
  }
  return nullptr;
}

StagePtr CreateCollector(const std::shared_ptr<Communication::Device::CHub>& hub, const Chain* chain) {
  return std::make_shared<Dc::CDc>(hub, chain);
}

}  // namespace Processing::Manager::QN
