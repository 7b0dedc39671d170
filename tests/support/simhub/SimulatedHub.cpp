#include "simhub/SimulatedHub.h"

#include <stdexcept>

namespace SimHub {

class SimulatedHub::Impl {
 public:
  explicit Impl(HubOptions options) : options_(std::move(options)) {}
  HubOptions options_;
};

SimulatedHub::SimulatedHub(HubOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
SimulatedHub::~SimulatedHub() { Stop(); }
void SimulatedHub::AttachPty(const std::filesystem::path&, int) { throw std::logic_error("not yet"); }
std::filesystem::path SimulatedHub::LinkPath() const { return {}; }
void SimulatedHub::Stop() {}
void SimulatedHub::InjectFault(Fault, int) {}
bool SimulatedHub::Streaming() const { return false; }
std::uint16_t SimulatedHub::FormatCode() const { return impl_->options_.formatCode; }
std::uint64_t SimulatedHub::DataFramesSent() const { return 0; }
std::vector<Bytes> SimulatedHub::RequestsReceived() const { return {}; }
bool SimulatedHub::WaitForRequest(std::uint16_t, std::chrono::milliseconds) const { return false; }
bool SimulatedHub::WaitForDataFrames(std::uint64_t, std::chrono::milliseconds) const { return false; }
Bytes SimulatedHub::Flash(std::size_t sensor) const { return impl_->options_.sensors.at(sensor).flash; }
void SimulatedHub::SetFlash(std::size_t sensor, Bytes image) { impl_->options_.sensors.at(sensor).flash = std::move(image); }
void SimulatedHub::LoadImages(const std::filesystem::path&) {}
void SimulatedHub::SaveImages(const std::filesystem::path&) const {}

}  // namespace SimHub
