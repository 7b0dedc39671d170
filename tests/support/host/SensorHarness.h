#pragma once

// One sensor behind a known USB serial adapter, as the tool finds it: a fake
// sysfs tree with the adapter, the SDK's settings file, and a simulated hub
// on the adapter's tty, all in a scratch working directory. The sensor, as a
// real one, answers no flash write.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ScratchDirectory.h"
#include "simhub/SimulatedHub.h"

// The COM port the adapter is on.
constexpr int kSensorCom = 5;

struct SensorSetup {
  std::string hubKind;  // as the simulator names it: "dongle", "usbcu" or "stream-sensor"
  std::string identity;
  std::string image;
  // The SDK's "device" word; empty: the hub kind. A sensor straight on its
  // adapter ("stream-sensor") answers the SDK as a "dongle".
  std::string sdkDevice{};
  std::uint16_t formatCode = 1000;  // the data format the sensor reports
  SimHub::DataFrameHook dataFrameHook{};
};

class SensorHarness {
 public:
  SensorHarness();
  ~SensorHarness();

  void Start(const SensorSetup& setup);
  void Stop();
  std::string Image() const;  // the sensor's flash image now
  const ScratchDirectory& Scratch() const { return scratch; }
  SimHub::SimulatedHub& Hub() { return *hub; }
  // The file names in the working directory besides the ones the harness made.
  std::vector<std::string> NewFiles() const;

 private:
  ScratchDirectory scratch;
  std::unique_ptr<SimHub::SimulatedHub> hub;
};

// Little-endian words at byte offsets, as the flash layouts store them.
struct Patch {
  std::size_t offset;
  std::uint32_t word;
  std::size_t bytes = 4;
};
std::string Patched(std::string image, const std::vector<Patch>& patches);
// An image of `size` bytes of a pattern that no field value repeats by chance.
std::string PatternImage(std::size_t size);
