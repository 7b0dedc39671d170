#include "communication/vectornav/Vn.h"

#include <climits>

#include "common/Log.h"
#include "communication/vectornav/Protocol.h"

namespace Communication::Device {

namespace {

constexpr long long kDefaultBaudRate = 115200;
constexpr double kDefaultFrequency = 60;  // Hz

}  // namespace

CVn::CVn(std::string id) : CHub(std::move(id), "unknown") {}

CVn::~CVn() {
  if (!driver_.IsConnected()) return;
  try {
    Close();
  } catch (...) {
  }
}

void CVn::Run() {
  const Vn::Record record = driver_.LatestRecord();
  DispatchFrame(const_cast<Vn::Record*>(&record));
}

bool CVn::Open(const boost::property_tree::ptree& parameters) {
  const std::string port = "COM" + parameters.get<std::string>("com", "1");
  // A rate that is no number is refused by the driver like any invalid one.
  const long long baudRate = parameters.get_optional<long long>("baudrate").value_or(
      parameters.get_optional<std::string>("baudrate") ? -1 : kDefaultBaudRate);
  // The reader holds this device while it runs: a host that closes the set
  // from inside its callback releases the device only after the call.
  if (driver_.Connect(port, baudRate, weak_from_this().lock()) != Vn::Result::kSuccess) {
    QLOG(error) << "<hw> connect to the sensor failed";
    return false;
  }
  if (!Configure(parameters)) return false;
  StartStream();
  return true;
}

bool CVn::Configure(const boost::property_tree::ptree& parameters) {
  if (!driver_.IsConnected() || driver_.DisableTextOutput() != Vn::Result::kSuccess)
    QLOG(error) << "<hw> disable ascii stream failed";

  const auto text = parameters.get_optional<std::string>("frequency");
  const auto frequency = text ? parameters.get_optional<double>("frequency") : kDefaultFrequency;
  const auto rate = frequency ? Vn::DivisorFor(*frequency) : std::nullopt;
  if (!rate) {
    QLOG(error) << "<hw> invalid frequency \"" << text.value_or("") << "\"";
    return false;
  }
  if (rate->clamped)
    QLOG(warning) << "<hw> frequency " << *frequency << "Hz out of reach, rate divisor kept at " << rate->divisor;
  QLOG(info) << "Configuring device for " << *frequency << "Hz (real ~" << Vn::kBaseRateHz / static_cast<int>(rate->divisor)
             << "Hz)";

  if (!driver_.IsConnected() || driver_.WriteBinaryOutput(rate->divisor) != Vn::Result::kSuccess) {
    QLOG(error) << "<hw> configure binary stream failed";
    return false;
  }
  return true;
}

void CVn::StartStream() {
  if (driver_.HasDataCallback()) {
    QLOG(error) << "<hw> start stream failed";
    return;
  }
  driver_.SetDataCallback(&CVn::OnRecord, this);
}

void CVn::StopStream() {
  if (!driver_.HasDataCallback()) {
    QLOG(error) << "<hw> stop stream failed";
    return;
  }
  driver_.SetDataCallback(nullptr, nullptr);
}

void CVn::Close() {
  StopStream();
  if (driver_.Disconnect() != Vn::Result::kSuccess) QLOG(error) << "<hw> disconnect from the sensor failed";
}

void CVn::OnRecord(void* self, const Vn::Record& record) {
  // The handler takes a mutable frame address; processing only reads it.
  static_cast<CVn*>(self)->DispatchFrame(const_cast<Vn::Record*>(&record));
}

}  // namespace Communication::Device
