#include "processing/manager/SdkManager.h"

#include <array>
#include <bitset>

#include "common/LittleEndian.h"
#include "processing/SdkFrame.h"

namespace Processing::Manager::QN {

namespace {

// Where the 32-bit words of an input record go among the output record's words.
constexpr std::array<std::size_t, 5> kPassedWordOffsets{84, 92, 88, 96, 100};
constexpr std::array<std::size_t, 4> kQuaternionOffsets{52, 56, 60, 64};  // x, y, z, w floats

}  // namespace

bool CSdkManager::Configure(const boost::property_tree::ptree&, const int*) {
  counter_.store(0);
  return true;
}

bool CSdkManager::Process(const void* input, void* output) {
  if (!input || !output) return false;
  const auto* in = static_cast<const std::uint8_t*>(input);
  const std::uint32_t mask = LittleEndian::U32(in + kMaskOffset);
  if (mask == 0) return false;
  const std::uint32_t headerWord = LittleEndian::U32(in + kHeaderWordOffset);

  auto& frame = *static_cast<SdkFrame*>(output);
  frame.frameCounter = counter_.fetch_add(1);
  frame.sensorMask = mask;

  // Records fill the blocks in order, whatever bits the mask sets.
  const std::size_t records = std::bitset<32>(mask).count();
  for (std::size_t i = 0; i < records; ++i) {
    const std::uint8_t* source = in + kFirstRecordOffset + kRecordBytes * i;
    auto& record = frame.sensors[i];
    for (std::size_t axis = 0; axis < 3; ++axis) {
      record.acceleration[axis] = LittleEndian::F32(source + 4 * axis);
      record.angularRate[axis] = LittleEndian::F32(source + 12 + 4 * axis);
      record.magneticField[axis] = LittleEndian::F32(source + 24 + 4 * axis);
    }
    for (std::size_t k = 0; k < kQuaternionOffsets.size(); ++k)
      record.quaternion[k] = LittleEndian::F32(source + kQuaternionOffsets[k]);
    record.words[0] = headerWord;
    for (std::size_t k = 0; k < kPassedWordOffsets.size(); ++k)
      record.words[k + 1] = LittleEndian::U32(source + kPassedWordOffsets[k]);
  }
  return true;
}

}  // namespace Processing::Manager::QN
