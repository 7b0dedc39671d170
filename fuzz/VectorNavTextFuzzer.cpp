// Arbitrary bytes from a VectorNav sensor through the text assembler and the
// text decoder: every message handed on is whole and no longer than allowed,
// every accepted one checks, and decoding never reads or writes out of place.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "communication/vectornav/Assemblers.h"
#include "communication/vectornav/Protocol.h"
#include "communication/vectornav/TextMessage.h"

namespace Vn = Communication::Device::Vn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Vn::TextAssembler assembler;
  for (std::size_t i = 0; i < size; ++i) {
    if (!assembler.Push(data[i])) continue;
    const std::string_view line = assembler.Message();
    if (line.size() < 2 || line.size() > Vn::TextAssembler::kMaxLength || line.front() != '$' ||
        line.substr(line.size() - 2) != "\r\n")
      std::abort();
    const auto message = Vn::Text::Parse(line);
    if (!message) continue;
    // The checksum covers exactly what lies between "$" and "*".
    const std::string_view body = line.substr(1, line.size() - 6);
    const std::string digits(line.substr(line.size() - 4, 2));
    if (message->body != body || Vn::Checksum(line.substr(0, line.size() - 5)) != std::strtoul(digits.c_str(), nullptr, 16))
      std::abort();
    if (const auto number = Vn::Text::ErrorNumber(*message); number && *number < 0) std::abort();
    Vn::Record record;
    Vn::Text::Decode(*message, record);
  }
  return 0;
}
