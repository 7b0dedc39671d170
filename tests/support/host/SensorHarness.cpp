#include "SensorHarness.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "FakeSysfs.h"

namespace fs = std::filesystem;

SensorHarness::SensorHarness() {
  setenv("QUENLITH_TTY_DIR", (scratch.Path() / "dev").c_str(), 1);
  setenv("QUENLITH_SYSFS_ROOT", (scratch.Path() / "sys").c_str(), 1);
  fs::create_directories(scratch.Path() / "dev");
}

SensorHarness::~SensorHarness() { Stop(); }

void SensorHarness::Start(const SensorSetup& setup) {
  MakeFakeSysfs(scratch.Path() / "sys",
                {{"ttyUSB" + std::to_string(kSensorCom), kFtdiVendor, kQuenlithProduct, "FT232R USB UART"}});
  scratch.Write("Quenlith_SDK_Lite.ini",
                "[worksetnode_1]\ndevice=" + (setup.sdkDevice.empty() ? setup.hubKind : setup.sdkDevice) + "\n");
  SimHub::HubOptions options;
  options.kind = SimHub::KindByName(setup.hubKind);
  // A sensor without a hub answers with its own identity.
  if (options.kind == SimHub::HubKind::StreamSensor) options.identity = setup.identity;
  options.formatCode = setup.formatCode;
  options.dataFrameHook = setup.dataFrameHook;
  options.sensors.push_back(SimHub::SimSensor{setup.identity, SimHub::Bytes(setup.image.begin(), setup.image.end()), {}});
  hub = std::make_unique<SimHub::SimulatedHub>(std::move(options));
  hub->AttachPty(scratch.Path() / "dev", kSensorCom);
}

void SensorHarness::Stop() {
  if (hub) hub->Stop();
  hub.reset();
}

std::string SensorHarness::Image() const {
  const SimHub::Bytes image = hub->Flash(0);
  return std::string(image.begin(), image.end());
}

std::vector<std::string> SensorHarness::NewFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(scratch.Path())) {
    const std::string name = entry.path().filename().string();
    if (name != "dev" && name != "sys" && name != "Quenlith_SDK_Lite.ini" && name != "quenlith_sdk_lite.txt")
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Patched(std::string image, const std::vector<Patch>& patches) {
  for (const auto& patch : patches) {
    std::uint32_t word = patch.word;
    for (std::size_t i = 0; i < patch.bytes; ++i, word >>= 8) image.at(patch.offset + i) = static_cast<char>(word & 0xFF);
  }
  return image;
}

std::string PatternImage(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 29 + 3) & 0xFF);
  return image;
}
