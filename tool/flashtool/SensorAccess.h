#pragma once

// The tool's way to its sensor: through the SDK, on the COM port of the one
// USB serial adapter present. Nothing is kept between calls but the handle;
// each operation probes the bus again.

#include <functional>
#include <string>

#include "FlashLayout.h"

// The SDK's settings file, looked up in the working directory.
inline constexpr const char* kSdkIniFile = "Quenlith_SDK_Lite.ini";
// What a found port's name starts with; the COM number follows.
inline constexpr const char* kDevicePathPrefix = "\\\\.\\COM";
inline constexpr int kWorkset = 1;
// The maker's own USB serial adapter; the others are OEM adapters.
inline constexpr const char* kMakerAdapterName = "Quenlith";
inline constexpr int kLastBusAddress = 254;
inline constexpr int kNoBusAddress = 0x7FFFFFFF;
inline constexpr int kSensorIdBytes = 128;

// Calls its callable once when destroyed; the tool's one closes the device.
class DeviceCloseGuard {
 public:
  explicit DeviceCloseGuard(std::function<void()> onClose) : onClose(std::move(onClose)) {}
  DeviceCloseGuard(DeviceCloseGuard&& other) noexcept : onClose(std::move(other.onClose)) { other.onClose = nullptr; }
  DeviceCloseGuard(const DeviceCloseGuard&) = delete;
  DeviceCloseGuard& operator=(const DeviceCloseGuard&) = delete;
  DeviceCloseGuard& operator=(DeviceCloseGuard&&) = delete;
  ~DeviceCloseGuard();

 private:
  std::function<void()> onClose;
};

// The guard every mode installs right after opening: prints "closing the
// device..." and closes the handle, on every way out.
DeviceCloseGuard closeDeviceOnExit(const int& handle);

// The port of the one known adapter present, as "\\.\COM<N>"; its entry's name
// goes to deviceName.
std::string findDevicePort(std::string& deviceName);

int openDevice(std::string& deviceName, const std::string& extraParameters);
int openDevice();

// The first bus address from 0 up that answers with an identity, with that
// identity and its layout.
void findSensor(int handle, int& busAddress, FlashLayout& layout, std::string& identity);

// The whole image, exactly the layout's size; a failed read throws.
void readFlashImage(int handle, std::string& image, FlashLayout& layout);
void readFlashFields(int handle, FlashFields& fields);
// Writes an image of exactly the layout's size; a failed write throws.
void writeFlashImage(int handle, const std::string& image);
