#include "StreamMessage.h"

#include <cstdio>

namespace Lumeth::Core::SensorLibrary {

namespace {

std::uint16_t wordAt(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

StreamMessage messageFromBody(std::uint32_t header, const std::uint8_t* body) {
  const std::size_t bodySize = headerLength(header) - kHeaderSize;
  StreamMessage message;
  message.header = header;
  message.type = wordAt(body);
  const std::size_t words = (headerLength(header) - kMinimumFrameLength) / 2;
  message.payload.reserve(words);
  for (std::size_t k = 0; k < words; ++k) message.payload.push_back(wordAt(body + 2 + 2 * k));
  message.checksum = wordAt(body + bodySize - 2);
  return message;
}

bool checksumMatches(const StreamMessage& message) {
  std::uint16_t sum = static_cast<std::uint16_t>(headerSync(message.header) + headerLength(message.header) + message.type);
  for (const std::uint16_t word : message.payload) sum = static_cast<std::uint16_t>(sum + word);
  return sum == message.checksum;
}

const std::map<std::uint16_t, std::string>& messageTypeNames() {
  static const std::map<std::uint16_t, std::string> names = {
      {kTypeIdentity, "GetIden"},  {kTypeMeasurementWithError, "DataType"}, {kTypeQuaternion, "GetDataQ"},
      {kTypeMeasurement, "GetDataF"}, {kTypeStatus, "GetStat"},           {kTypeFlashBlock, "ReadFlash"},
  };
  return names;
}

const std::map<std::uint16_t, std::string>& dataModeNames() {
  static const std::map<std::uint16_t, std::string> names = {
      {1000, "GetDataR"}, {1001, "GetDataQ"}, {1002, "GetDataD"}, {1003, "GetDataF"}, {1004, "GetDataE"},
  };
  return names;
}

std::string messageTypeName(std::uint16_t type) {
  const auto& names = messageTypeNames();
  if (const auto found = names.find(type); found != names.end()) return found->second;
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", type);
  return text;
}

}  // namespace Lumeth::Core::SensorLibrary
