#include "simhub/Faults.h"

#include <stdexcept>
#include <utility>

#include "simhub/Codec.h"

namespace SimHub {

namespace {

struct FaultName {
  Fault fault;
  const char* name;
};

constexpr std::array<FaultName, 13> kFaultNames{{
    {Fault::None, "none"},
    {Fault::CorruptChecksum, "corrupt-checksum"},
    {Fault::TruncatedFrame, "truncated-frame"},
    {Fault::GarbageBetweenFrames, "garbage-between-frames"},
    {Fault::WrongLength, "wrong-length"},
    {Fault::OddLength, "odd-length"},
    {Fault::StopAnswering, "stop-answering"},
    {Fault::DropLine, "drop-line"},
    {Fault::WriteRefused, "write-refused"},
    {Fault::GarbageAfterWrite, "garbage-after-write"},
    {Fault::DropLineAfterWrite, "drop-line-after-write"},
    {Fault::ShortFlashRead, "short-flash-read"},
    {Fault::LongFlashRead, "long-flash-read"},
}};

}  // namespace

const Bytes& GarbageBytes() {
  // No 0xAA among them: a reader that does not search for the next frame
  // start still finds the frame after them.
  static const Bytes garbage{0x00, 0x13, 0x37, 0xFE, 0x42, 0x55, 0x99};
  return garbage;
}

bool IsFlashWriteFault(Fault fault) {
  return fault == Fault::WriteRefused || fault == Fault::GarbageAfterWrite || fault == Fault::DropLineAfterWrite;
}

bool IsFlashFault(Fault fault) {
  return IsFlashWriteFault(fault) || fault == Fault::ShortFlashRead || fault == Fault::LongFlashRead;
}

Fault FaultByName(const std::string& name) {
  for (const FaultName& row : kFaultNames)
    if (name == row.name) return row.fault;
  throw std::invalid_argument("unknown fault: " + name);
}

Outgoing ApplyFault(Fault fault, const Bytes& frame) {
  Outgoing out{frame, false};
  switch (fault) {
    case Fault::None:
    case Fault::StopAnswering:
    case Fault::WriteRefused:
    case Fault::GarbageAfterWrite:
    case Fault::DropLineAfterWrite:
    case Fault::ShortFlashRead:
    case Fault::LongFlashRead:
      break;
    case Fault::CorruptChecksum:
      out.bytes[frame.size() - 2] ^= 0xFF;
      break;
    case Fault::TruncatedFrame:
      out.bytes.resize(frame.size() / 2);
      break;
    case Fault::GarbageBetweenFrames:
      out.bytes.insert(out.bytes.begin(), GarbageBytes().begin(), GarbageBytes().end());
      break;
    case Fault::WrongLength:
      WriteWord(out.bytes, 2, static_cast<std::uint16_t>(frame.size() + 2));
      break;
    case Fault::OddLength: {
      out.bytes.resize(frame.size() - 2);
      out.bytes.push_back(0);
      WriteWord(out.bytes, 2, static_cast<std::uint16_t>(out.bytes.size() + 2));
      AppendWord(out.bytes, Checksum(out.bytes.data(), out.bytes.size() - 1));
      break;
    }
    case Fault::DropLine:
      out.bytes.resize(frame.size() / 2);
      out.dropLineAfter = true;
      break;
  }
  return out;
}

void FaultQueue::Add(Fault fault, int count) {
  if (fault == Fault::None) {
    Clear();
    return;
  }
  if (count > 0) pending_.push_back({fault, count});
}

Fault FaultQueue::Take() {
  if (pending_.empty()) return Fault::None;
  const Fault fault = pending_.front().fault;
  if (--pending_.front().remaining == 0) pending_.pop_front();
  return fault;
}

}  // namespace SimHub
