#include "processing/model/DKv.h"

#include <cctype>
#include <stdexcept>
#include <string_view>

#include "common/LittleEndian.h"
#include "common/Log.h"

namespace Processing::QN {

namespace {

// A switch as the configuration key and the "set " command name it; both
// disable when true (non-zero). Disabling calibration disables the other two
// as well, and enabling it again gives them not back.
struct SwitchRow {
  std::string_view name;
  bool CDKv::Switches::*flag;
  bool disablesAll;
};

constexpr std::array<SwitchRow, 3> kSwitches{{
    {"disablethermo", &CDKv::Switches::thermo, false},
    {"disablecompensation", &CDKv::Switches::compensation, false},
    {"disablecalibration", &CDKv::Switches::calibration, true},
}};

void Disable(CDKv::Switches& switches, const SwitchRow& row, bool disable) {
  switches.*row.flag = !disable;
  if (disable && row.disablesAll) switches = {false, false, false};
}

constexpr std::string_view kSetPrefix = "set ";

}  // namespace

Eigen::Vector3d RawTriple(const std::uint8_t* words, std::size_t triple, double rawScale, SensorRecord& record) {
  const Eigen::Vector3d raw(LittleEndian::Word(words, 3 * triple) * rawScale,
                            LittleEndian::Word(words, 3 * triple + 1) * rawScale,
                            LittleEndian::Word(words, 3 * triple + 2) * rawScale);
  Eigen::Map<Eigen::Vector3d>(record.uncalibrated + 3 * triple) = raw;
  return raw;
}

void ScaleTriples(SensorRecord& values, const std::array<double, 3>& unitFactors) {
  for (std::size_t t = 0; t < kTriples.size(); ++t) TripleOf(values, t) *= unitFactors[t];
}

void RequireImageBytes(const FlashImage& image, std::size_t bytes) {
  if (image.size() < bytes)
    throw std::logic_error("flash image of " + std::to_string(image.size()) + " bytes is too short for the " +
                           std::to_string(bytes) + " bytes of the calibration");
}

bool LoadableImage(const FlashImage& image, std::size_t bytes) {
  if (image.size() >= bytes) return true;
  QLOG(error) << "calibration not loaded: the flash image holds " << image.size() << " bytes, it needs " << bytes;
  return false;
}

CDKv::CDKv(const SensorPtr& sensor, StagePtr next, const UnitFactors& unitFactors)
    : CEndPoint(sensor), position_(sensor ? sensor->GetIndex() : -1), next_(std::move(next)), unitFactors_(unitFactors) {
  ResetParameterBlocks();
}

CDKv::~CDKv() { next_.reset(); }

bool CDKv::Configure(const boost::property_tree::ptree& configuration, const int* mode) {
  // Host thread, frames held off by the manager's gate.
  ReadDisableFlags(configuration);
  if (auto* sensor = Sensor(); sensor && !sensor->GetFlash().empty()) {
    position_ = sensor->GetIndex();
    FlashImage image = sensor->GetFlash();
    LoadCalibration(image);
    if (image != sensor->GetFlash()) sensor->SetFlash(image);
  }
  return next_ ? next_->Configure(configuration, mode) : true;
}

void CDKv::ReadDisableFlags(const boost::property_tree::ptree& configuration) {
  Switches read;
  for (const auto& row : kSwitches) read.*row.flag = !configuration.get_optional<bool>(std::string(row.name)).value_or(false);
  if (!read.calibration) read = {false, false, false};
  switches_ = read;
}

bool CDKv::ExecuteCommand(const std::string& command, void* input, void* output) {
  if (command.compare(0, kSetPrefix.size(), kSetPrefix) != 0)
    return next_ ? next_->ExecuteCommand(command, input, output) : false;

  std::string name;
  for (const char c : std::string_view(command).substr(kSetPrefix.size()))
    if (!std::isspace(static_cast<unsigned char>(c))) name += c;
  // Host thread, frames held off by the manager's gate.
  if (!input || position_ < 0 || position_ >= static_cast<int>(kPositions)) return true;
  const double value = static_cast<const double*>(input)[position_];
  for (const auto& row : kSwitches)
    if (name == row.name) Disable(switches_, row, !(value == 0.0));
  return true;
}

bool CDKv::Process(const void* input, void* output) {
  if (!input || !output) return false;
  const auto* words = static_cast<const std::uint8_t*>(input);
  auto& record = *static_cast<SensorRecord*>(output);
  PrepareCalibration(words, record);
  if (switches_.thermo) CompensateTemperature(words, record);
  if (switches_.calibration) ApplyCalibration(words, record);
  if (switches_.compensation) ApplyDeviationCompensation(words, record);
  return ConvertAndForward(words, record);
}

void CDKv::ConvertUnits(SensorRecord&) {}

bool CDKv::PrepareCalibration(const std::uint8_t*, SensorRecord&) { return false; }

bool CDKv::CompensateTemperature(const std::uint8_t*, SensorRecord&) { return false; }

bool CDKv::ApplyCalibration(const std::uint8_t*, SensorRecord&) { return false; }

bool CDKv::ApplyDeviationCompensation(const std::uint8_t*, SensorRecord& record) {
  for (std::size_t t = 0; t < kTriples.size(); ++t) {
    auto value = TripleOf(record, t);
    value = matrices_[t] * (value - offsets_.segment<3>(static_cast<Eigen::Index>(3 * t)) / unitFactors_[t]);
  }
  return true;
}

bool CDKv::ConvertAndForward(const std::uint8_t* words, SensorRecord& record) {
  ConvertUnits(record);
  return next_ ? next_->Process(words, &record) : true;
}

bool CDKv::StoreCalibration(FlashImage&, std::uint32_t) { return false; }

bool CDKv::LoadCalibration(FlashImage&) { return false; }

bool CDKv::RestoreCalibration(FlashImage&, std::uint32_t, std::uint32_t) { return false; }

const double* CDKv::GetOffsets() const { return offsets_.data(); }
const double* CDKv::GetAccMatrix() const { return matrices_[0].data(); }
const double* CDKv::GetGyrMatrix() const { return matrices_[1].data(); }
const double* CDKv::GetMagMatrix() const { return matrices_[2].data(); }

// The setters run on the host's thread, frames held off by the manager's gate.
void CDKv::SetOffsets(const double* values) { offsets_ = Eigen::Map<const Vector9d>(values); }
void CDKv::SetAccMatrix(const double* values) { matrices_[0] = Eigen::Map<const Eigen::Matrix3d>(values); }
void CDKv::SetGyrMatrix(const double* values) { matrices_[1] = Eigen::Map<const Eigen::Matrix3d>(values); }
void CDKv::SetMagMatrix(const double* values) { matrices_[2] = Eigen::Map<const Eigen::Matrix3d>(values); }

void CDKv::ResetParameterBlocks() {
  offsets_.setZero();
  for (auto& matrix : matrices_) matrix.setIdentity();
  KeepAsLoaded();
}

void CDKv::KeepAsLoaded() {
  loadedOffsets_ = offsets_;
  loadedMatrices_ = matrices_;
}

bool CDKv::CalculatedSinceLoad(std::size_t triple) const {
  const auto at = static_cast<Eigen::Index>(3 * triple);
  return offsets_.segment<3>(at) != loadedOffsets_.segment<3>(at) || matrices_[triple] != loadedMatrices_[triple];
}

void CDKv::SendMotionThresholds(double magnetic, double angularRate) {
  if (!next_) return;
  std::array<double, kPositions> values;
  values.fill(magnetic);
  next_->ExecuteCommand("set magthreshformotiondetect", values.data(), nullptr);
  values.fill(angularRate);
  next_->ExecuteCommand("set gyrthreshformotiondetect", values.data(), nullptr);
}

Communication::Device::QN::CSensor* CDKv::Sensor() const {
  // The constructor takes nothing but a QN sensor.
  return static_cast<Communication::Device::QN::CSensor*>(GetDevice().get());
}

}  // namespace Processing::QN
