#include "SensorAccess.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast.hpp>

#include "ConnectionManager.h"
#include "quenlith_sdk_lite.h"

namespace {

struct KnownAdapter {
  const char* name;
  std::uint32_t vendorId;   // USB vendor id
  std::uint32_t productId;  // USB product id
};

constexpr KnownAdapter kKnownAdapters[] = {
    {kMakerAdapterName, 0x0403, 0x6001},
    {"Torvel Unified", 0x0403, 0x7B6A},
    {"Marvessa", 0x0403, 0x7B6B},
};

const std::string kSizeMismatch = "the expected size of the memory layout is incorrect";

}  // namespace

DeviceCloseGuard::~DeviceCloseGuard() {
  if (onClose) onClose();
  onClose = nullptr;
}

DeviceCloseGuard closeDeviceOnExit(const int& handle) {
  return DeviceCloseGuard([&handle] {
    std::cout << "closing the device..." << std::endl;
    iQuenlith_SDK_Lite_CloseDevice(handle);
  });
}

std::string findDevicePort(std::string& deviceName) {
  std::vector<Lumeth::Core::SensorLibrary::PortDescription> found;
  {
    Lumeth::Core::SensorLibrary::CConnectionManager manager;
    for (const auto& adapter : kKnownAdapters) manager.registerDevice(adapter.name, adapter.vendorId, adapter.productId);
    manager.scanDevices();
    manager.getFoundDevices(found);
  }
  if (found.empty()) throw std::runtime_error("the device could not be found");
  if (found.size() > 1)
    throw std::runtime_error("more than one device was found. Please make sure only one device is plugged in");
  deviceName = found.front().name;
  return kDevicePathPrefix + std::to_string(found.front().comNumber);
}

int openDevice(std::string& deviceName, const std::string& extraParameters) {
  boost::system::error_code error;
  const auto status = boost::filesystem::status(kSdkIniFile, error);
  if (error || status.type() == boost::filesystem::status_error || status.type() == boost::filesystem::file_not_found)
    throw std::runtime_error("can't find the Quenlith INI file");

  std::cout << "enumerating..." << std::endl;
  const std::string path = findDevicePort(deviceName);
  std::cout << "initializing..." << std::endl;

  const std::size_t prefixLength = std::char_traits<char>::length(kDevicePathPrefix);
  if (path.size() <= prefixLength) throw std::runtime_error("invalid port name");
  const int comNumber = boost::lexical_cast<int>(path.substr(prefixLength));
  const std::string parameters = "com=" + std::to_string(comNumber) + extraParameters;

  const int handle = iQuenlith_SDK_Lite_CreateDevice(kWorkset, kSdkIniFile, parameters.c_str());
  if (handle < 0) throw std::runtime_error("cannot open the device");
  return handle;
}

int openDevice() {
  std::string deviceName;
  return openDevice(deviceName, "");
}

void findSensor(int handle, int& busAddress, FlashLayout& layout, std::string& identity) {
  for (int address = 0; address <= kLastBusAddress; ++address) {
    char buffer[kSensorIdBytes] = {};
    iQuenlith_SDK_Lite_GetSensorId(handle, address, buffer, kSensorIdBytes);
    const std::string text(buffer, std::find(buffer, buffer + kSensorIdBytes, '\0'));
    if (text.empty()) continue;

    bool known = false;
    for (const auto& row : kFlashLayouts) known = known || text.find(row.key) != std::string::npos;
    if (!known) throw std::runtime_error("the sensor with ID \"" + text + "\" is not supported");
    selectFlashLayout(text, layout);
    busAddress = address;
    identity = text;
    return;
  }
  busAddress = kNoBusAddress;
  throw std::runtime_error("can't retrieve the bus address");
}

void readFlashImage(int handle, std::string& image, FlashLayout& layout) {
  int busAddress = kNoBusAddress;
  std::string identity;
  findSensor(handle, busAddress, layout, identity);

  const auto size = static_cast<unsigned int>(layout.size);
  std::vector<char> buffer(size, '\0');
  unsigned int length = size;
  const bool read = iQuenlith_SDK_Lite_GetSensorFlash(handle, busAddress, buffer.data(), &length);
  if (length != size) throw std::runtime_error(kSizeMismatch);
  // An unread buffer is zeros, not the sensor's image: reporting or saving it
  // would pass for real contents.
  if (!read) throw std::runtime_error("can't read the flash memory of the sensor");
  image.assign(buffer.data(), size);
}

void readFlashFields(int handle, FlashFields& fields) {
  std::string image;
  FlashLayout layout;
  readFlashImage(handle, image, layout);
  decodeFlashFields(image, layout, fields);
}

void writeFlashImage(int handle, const std::string& image) {
  int busAddress = kNoBusAddress;
  FlashLayout layout;
  std::string identity;
  findSensor(handle, busAddress, layout, identity);
  if (image.size() != static_cast<std::size_t>(layout.size)) throw std::runtime_error(kSizeMismatch);
  if (!iQuenlith_SDK_Lite_SetSensorFlash(handle, busAddress, reinterpret_cast<const unsigned char*>(image.data()),
                                         layout.size))
    throw std::runtime_error("can't write the flash memory of the sensor");
}
