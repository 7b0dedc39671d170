#include "DorvekFlasher.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "quenlith_sdk_lite.h"

namespace {

// Bytes 0 to 503 hold the sensor's identity and factory words.
constexpr std::uint32_t kProtectedFirst = 0;
constexpr std::uint32_t kProtectedLast = 503;

}  // namespace

Dorvek_Flasher::Dorvek_Flasher() { protectedRegions.emplace_back(kProtectedLast, kProtectedFirst); }

Dorvek_Flasher::Dorvek_Flasher(const Dorvek_Flasher& other)
    : protectedRegions(other.protectedRegions),
      handle(other.handle),
      busAddress(other.busAddress),
      size(other.size) {
  std::memcpy(image, other.image, kCapacity);
}

Dorvek_Flasher& Dorvek_Flasher::operator=(const Dorvek_Flasher& other) {
  if (this != &other) protectedRegions = other.protectedRegions;
  handle = other.handle;
  busAddress = other.busAddress;
  std::memmove(image, other.image, kCapacity);
  size = other.size;
  return *this;
}

Dorvek_Flasher::~Dorvek_Flasher() = default;

bool Dorvek_Flasher::readFlash(int handle, int busAddress) {
  this->handle = handle;
  this->busAddress = busAddress;
  unsigned int length = kCapacity;
  const bool read = iQuenlith_SDK_Lite_GetSensorFlash(handle, busAddress, reinterpret_cast<char*>(image), &length);
  std::cout << length << std::endl;
  // A larger image did not fit the buffer; the other members must never use
  // more bytes than it holds.
  size = std::min<std::uint32_t>(length, kCapacity);
  return read && length <= kCapacity;
}

bool Dorvek_Flasher::writeFlash() {
  return iQuenlith_SDK_Lite_SetSensorFlash(handle, busAddress, image, static_cast<int>(size));
}

bool Dorvek_Flasher::readFlashFromFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  unsigned char contents[kCapacity];
  file.read(reinterpret_cast<char*>(contents), size);
  // A short file, or a directory, which opens but does not read, is no image.
  if (static_cast<std::uint32_t>(file.gcount()) != size) return false;
  std::memcpy(image, contents, size);
  return true;
}

bool Dorvek_Flasher::writeFlashToFile(const char* path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(image), size);
  file.close();
  return !file.fail();
}

bool Dorvek_Flasher::readFlashFromData(const std::string& data) {
  if (data.size() != size) return false;
  std::memcpy(image, data.data(), size);
  return true;
}

bool Dorvek_Flasher::writeFlashToData(std::string& data) {
  data.assign(reinterpret_cast<const char*>(image), size);
  return true;
}

bool Dorvek_Flasher::changeBlock(unsigned int start, unsigned int end, unsigned int length, unsigned char* data,
                                 bool force) {
  // Programs that link against the tool catch a pointer and delete it.
  const auto fail = [](const char* message) { throw new std::runtime_error(message); };
  if (start > size || end > size) fail("Block boundaries do not fit into the flash size.");
  if (length > size) fail("Block length greater then flash size.");
  if (end - start != length) fail("Block length doesn't match block boundaries.");
  if (!force) {
    for (const auto& [last, first] : protectedRegions) {
      if ((first <= start && start <= last) || (first <= end && end <= last))
        fail("Attempt to write to the protected region of flash.");
    }
  }
  if (length > 0) std::memcpy(image + start, data, length);
  return true;
}
