#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/Export.h"

// One sensor flash image of up to 2048 bytes, moved between the sensor (through
// the SDK), a file and a string, and patched block by block outside its
// protected regions. Exported from the tool for other programs.
class QUENLITH_TOOL_EXPORT Dorvek_Flasher {
 public:
  static constexpr std::uint32_t kCapacity = 2048;  // bytes

  Dorvek_Flasher();
  Dorvek_Flasher(const Dorvek_Flasher& other);
  Dorvek_Flasher& operator=(const Dorvek_Flasher& other);
  ~Dorvek_Flasher();

  // Reads the sensor's image; false when the SDK fails or reports an image
  // larger than this object holds (size then stays at most the capacity).
  bool readFlash(int handle, int busAddress);
  bool writeFlash();
  // False when the file cannot be opened or holds fewer than size bytes; the
  // image changes only on success.
  bool readFlashFromFile(const char* path);
  // False when the file cannot be opened or size bytes cannot all be written.
  bool writeFlashToFile(const char* path);
  bool readFlashFromData(const std::string& data);
  bool writeFlashToData(std::string& data);
  // Copies `length` bytes to [start, end) of the image. Throws a pointer to a
  // new std::runtime_error, which the catcher owns and deletes, leaving the
  // image unchanged, when the block does not fit, its length does not match,
  // or (unless forced) it touches a protected region.
  bool changeBlock(unsigned int start, unsigned int end, unsigned int length, unsigned char* data, bool force);

  // Each pair is (last byte, first byte) of a protected region, both inclusive.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> protectedRegions;
  int handle = -1;
  int busAddress = 0;
  unsigned char image[kCapacity] = {};
  std::uint32_t size = kCapacity;  // valid image bytes, never above the capacity
};
