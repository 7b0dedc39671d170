// Feeds arbitrary images and change values to the flash field codec. Whatever
// comes in, a change is either written exactly or refused with the image left
// as it was, and decoding never reads outside the image.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "FlashLayout.h"
#include "FuzzInput.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::int64_t word(const std::string& image, std::int32_t offset, std::int32_t bytes) {
  std::uint32_t raw = 0;
  for (std::int32_t i = bytes - 1; i >= 0; --i)
    raw = (raw << 8) | static_cast<unsigned char>(image[static_cast<std::size_t>(offset + i)]);
  return bytes == 2 ? static_cast<std::int16_t>(raw) : static_cast<std::int32_t>(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    std::cout.setstate(std::ios::badbit);  // the codec's warnings are of no interest here
    return true;
  }();
  (void)quiet;

  FuzzInput input{data, size};
  const FlashLayout& layout = kFlashLayouts[input.take<std::uint8_t>() % kFlashLayouts.size()];
  const double bias = input.take<double>();
  const double correction = input.take<double>();
  const double gain = input.take<double>();
  const auto channel = input.take<std::uint32_t>();
  const std::string image(reinterpret_cast<const char*>(input.data), input.size);
  const std::string key(layout.key);
  const bool fits = image.size() >= static_cast<std::size_t>(layout.size);

  FlashFields fields;
  try {
    decodeFlashFields(image, layout, fields);
    require(fits && fields.type == key);
  } catch (const std::runtime_error&) {
    require(!fits);
  }

  std::string work = image;
  FlashChangeRequest request(image, work, key);
  request.gyroBiasX = request.gyroBiasY = request.gyroBiasZ = bias;
  request.gyroCorrectionX = request.gyroCorrectionY = request.gyroCorrectionZ = correction;
  request.magnetometerGain = gain;
  request.magnetometerChannel = channel;
  try {
    applyFlashChanges(request);
  } catch (const std::runtime_error&) {
    require(work == image);
    return 0;
  }
  require(fits);
  const std::int32_t width = layout.calibrationWordBytes;
  require(word(work, layout.offsets[FlashField::GyroBiasY], width) ==
          static_cast<std::int64_t>(std::trunc(bias * layout.scale)));
  if (layout.has(FlashField::GyroCorrectionX))
    require(word(work, layout.offsets[FlashField::GyroCorrectionZ], width) ==
            static_cast<std::int64_t>(std::trunc(correction * kGyroCorrectionScale)));
  if (layout.has(FlashField::MagnetometerGain))
    require(word(work, layout.offsets[FlashField::MagnetometerGain], 4) ==
            static_cast<std::int64_t>(std::trunc(gain * layout.scale)));
  return 0;
}
