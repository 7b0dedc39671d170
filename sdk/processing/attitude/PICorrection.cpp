#include "processing/attitude/PICorrection.h"

#include <array>
#include <cctype>
#include <string_view>

#include "processing/SdkFrame.h"
#include "processing/attitude/RecordValues.h"
#include "processing/attitude/TimeStamp.h"

namespace Processing::QN {

namespace {

struct ParameterRow {
  std::string_view key;      // configuration key
  std::string_view command;  // name in "set" and "get"; empty: none
  double PIParameters::*member;
  bool keepsCurrent;  // a missing key leaves the member as it is, instead of the default
};

constexpr std::array<ParameterRow, 20> kParameters{{
    {"KpINI", "kpini", &PIParameters::kpIni, false},
    {"KpStatic", "kpstatic", &PIParameters::kpStatic, false},
    {"ThreshMagINI", "porogmagini", &PIParameters::threshMagIni, false},
    {"MagErrorComp", "magerrorcomp", &PIParameters::magErrorComp, false},
    {"MagErrorCompMax", "magerrorcompmax", &PIParameters::magErrorCompMax, false},
    {"ThreshLinearAcc", "", &PIParameters::threshLinearAcc, false},
    {"DelayOnMagDisturbINI", "timeaftermagdeviationssec", &PIParameters::delayOnMagDisturb, false},
    {"KprMagINI", "kprmagini", &PIParameters::kprMagIni, false},
    {"ThreshGyroINI", "porogdusini", &PIParameters::threshGyroIni, false},
    {"Frequency", "frequency", &PIParameters::frequency, false},
    {"TimeStartSec", "timestartsec", &PIParameters::timeStart, false},
    {"gyrThreshFormotionDetect", "gyrthreshformotiondetect", &PIParameters::gyrThreshForMotionDetect, true},
    {"magThreshFormotionDetect", "magthreshformotiondetect", &PIParameters::magThreshForMotionDetect, true},
    {"GyroZeroAveragingTimeSec", "gyrozeroaveregingtimesec", &PIParameters::gyroZeroAveragingTime, false},
    {"PredictionTime", "predictiontime", &PIParameters::predictionTime, false},
    {"is_mag_channel", "is_mag_channel", &PIParameters::isMagChannel, false},
    {"is_mag_new_nor_calc", "is_mag_new_nor_calc", &PIParameters::isMagNewNorCalc, false},
    {"smoothing_mode", "smoothing_mode", &PIParameters::smoothingMode, false},
    {"smoothingGain", "smoothinggain", &PIParameters::smoothingGain, false},
    {"reset_after_drop", "", &PIParameters::resetAfterDrop, false},
}};

constexpr std::string_view kSet = "set ";
constexpr std::string_view kGet = "get ";
constexpr std::string_view kComputeGyroOffset = "computegyrooffset";
constexpr std::string_view kAzimuth = "azimutquantumtrue";

const ParameterRow* RowByCommand(std::string_view name) {
  for (const auto& row : kParameters)
    if (!row.command.empty() && row.command == name) return &row;
  return nullptr;
}

// The name after the command word, with every white-space character dropped.
std::string NameAfter(const std::string& command, std::string_view word) {
  std::string name;
  for (std::size_t i = word.size(); i < command.size(); ++i)
    if (!std::isspace(static_cast<unsigned char>(command[i]))) name += command[i];
  return name;
}

}  // namespace

CPICorrection::CPICorrection(const std::shared_ptr<Communication::Device::QN::CSensor>& sensor)
    : CEndPoint(sensor), position_(sensor ? sensor->GetIndex() : -1) {}

bool CPICorrection::Configure(const boost::property_tree::ptree& configuration, const int* mode) {
  // Runs under the manager's frame gate, as do the commands.
  if (mode && *mode == 2) {
    attitude_.RequestReinitialisation();
    return true;
  }
  const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(GetDevice());
  const int position = sensor ? sensor->GetIndex() : position_;

  PIParameters next = parameters_;
  const PIParameters defaults;
  const std::string prefix = "sensor_" + std::to_string(position) + "_";
  for (const auto& row : kParameters) {
    const double fallback = row.keepsCurrent ? next.*row.member : defaults.*row.member;
    next.*row.member = configuration.get_optional<double>(std::string(row.key)).value_or(fallback);
    if (const auto own = configuration.get_optional<double>(prefix + std::string(row.key))) next.*row.member = *own;
  }
  attitude_.Reset(next);  // throws for an unknown frequency, before anything changes
  next.kpStatic /= next.frequency;
  parameters_ = next;
  position_ = position;
  azimuthGiven_ = false;
  return true;
}

bool CPICorrection::ExecuteCommand(const std::string& command, void* input, void* output) {
  // Only this sensor's element of the arrays; a position outside them has none.
  const bool inArrays = position_ >= 0 && position_ < static_cast<int>(kPositions);
  const auto element = [&](void* array) {
    return inArrays && array ? static_cast<double*>(array) + position_ : nullptr;
  };

  if (command.compare(0, kSet.size(), kSet) == 0) {
    const std::string name = NameAfter(command, kSet);
    const double* value = element(input);
    if (!value) return true;
    if (const auto* row = RowByCommand(name)) {
      parameters_.*row->member = *value;
    } else if (name == kAzimuth) {
      azimuth_ = *value;
      azimuthGiven_ = true;
    }
    return true;
  }
  if (command.compare(0, kGet.size(), kGet) == 0) {
    const auto* row = RowByCommand(NameAfter(command, kGet));
    if (double* value = element(output); value && row) *value = parameters_.*row->member;
    return true;
  }
  if (command == kComputeGyroOffset) {
    attitude_.RequestOffsetCapture();
    return true;
  }
  return false;
}

bool CPICorrection::Process(const void*, void* output) {
  if (!output) return false;
  auto& record = *static_cast<SensorRecord*>(output);
  const CPIAttitude::Input input{RecordVector(record.acceleration), RecordVector(record.angularRate),
                                 RecordVector(record.magneticField), RecordQuaternion(record), record.words[0] != 0};
  // A skipped frame shows the last good attitude.
  if (attitude_.Step(parameters_, input) == CPIAttitude::Result::kAdopted) return true;
  SetRecordQuaternion(record, attitude_.Output());
  record.words[0] = MillisecondsSinceLoad();
  return true;
}

}  // namespace Processing::QN
