#pragma once

// The maker's hub frame, built and checked as plain functions over bytes so
// that the codec is testable without a port. Every multi-byte field is
// little-endian:
//
//   offset 0      address complement (0xAA for the hub)
//   offset 1      address (0x55 for the hub itself)
//   offset 2      total frame length L in bytes, checksum included
//   offset 4      command or reply word: high byte the command, low byte a sub-code
//   offset 6      data, L - 8 bytes
//   offset L - 2  checksum: sum modulo 65536 of the 16-bit words before it

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/LittleEndian.h"

namespace Communication::Device::QN {

using Bytes = std::vector<std::uint8_t>;

namespace Frame {

constexpr std::uint8_t kHubAddress = 0x55;
constexpr std::uint8_t kStartByte = static_cast<std::uint8_t>(~kHubAddress);
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kLengthOffset = 2;
constexpr std::size_t kCommandOffset = 4;
constexpr std::size_t kDataOffset = 6;
constexpr std::size_t kChecksumSize = 2;
// Header and checksum around a payload (command word and data).
constexpr std::size_t kOverhead = kHeaderSize + kChecksumSize;
constexpr std::size_t kMinLength = 8;
constexpr std::size_t kMaxLength = 0x4000;
static_assert(kStartByte == 0xAA);
static_assert(kMinLength == kOverhead + 2, "the shortest frame carries a command word and nothing else");

// The protocol's names for its 16-bit words and 32-bit longs.
constexpr std::uint16_t Word(const std::uint8_t* bytes) { return LittleEndian::U16(bytes); }
constexpr void PutWord(std::uint8_t* bytes, std::uint16_t word) { LittleEndian::PutU16(bytes, word); }
constexpr std::uint32_t Long(const std::uint8_t* bytes) { return LittleEndian::U32(bytes); }
constexpr void PutLong(std::uint8_t* bytes, std::uint32_t value) { LittleEndian::PutU32(bytes, value); }

// Sum modulo 65536 of the little-endian words in the first length bytes
// (length even).
constexpr std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t length) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum = static_cast<std::uint16_t>(sum + Word(bytes + i));
  return sum;
}

// The dongle gives two of BSmain's command words meanings of its own, so
// they have rows of their own.
enum class Command : std::size_t {
  kIdentify,
  kGetState,
  kAutoTransmit,
  kPower,          // BSmain
  kDataFormat,     // BSmain: 1000 raw, 4321 quat
  kDongleFormat,   // 1000 + data type
  kDonglePeriod,   // microseconds
  kSlotTable,
  kReadFlash,
  kPollData,     // plus the data type
  kWriteFlash,
  kWake,
  kDirectAccessTimeout,  // reply only: the hub gave up on the bus
  kReset,
};

struct CommandRow {
  Command command;
  std::uint16_t word;
  // How often the command goes out in a row; those sent more than once await no reply.
  int sends;
};

constexpr std::array<CommandRow, 14> kCommands{{
    {Command::kIdentify, 0x0100, 1},
    {Command::kGetState, 0x0300, 1},
    {Command::kAutoTransmit, 0x0400, 5},
    {Command::kPower, 0x0401, 1},
    {Command::kDataFormat, 0x0402, 1},
    {Command::kDongleFormat, 0x0401, 1},
    {Command::kDonglePeriod, 0x0402, 1},
    {Command::kSlotTable, 0x0404, 1},
    {Command::kReadFlash, 0x0500, 1},
    {Command::kPollData, 0x0200, 1},
    {Command::kWriteFlash, 0x0600, 1},
    {Command::kWake, 0x0800, 1},
    {Command::kDirectAccessTimeout, 0x0810, 1},
    {Command::kReset, 0xFFFF, 5},
}};

constexpr const CommandRow& Row(Command command) { return kCommands[static_cast<std::size_t>(command)]; }
constexpr std::uint16_t CommandWord(Command command) { return Row(command).word; }

constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < kCommands.size(); ++i)
    if (static_cast<std::size_t>(kCommands[i].command) != i) return false;
  return true;
}
static_assert(RowsInOrder(), "a command's row sits at its enumerator's index");

// Data words of the on/off commands.
constexpr std::uint16_t kOn = 0xFFFF;
constexpr std::uint16_t kOff = 0x0000;

// Sent ahead of a request that must wake a sleeping hub: the bare wake command.
constexpr std::array<std::uint8_t, 8> kWakeFrame{0xAA, 0x55, 0x08, 0x00, 0x00, 0x08, 0xB2, 0x5D};
static_assert(Word(kWakeFrame.data() + kLengthOffset) == kWakeFrame.size());
static_assert(Word(kWakeFrame.data() + kCommandOffset) == CommandWord(Command::kWake));
static_assert(Checksum(kWakeFrame.data(), kWakeFrame.size() - kChecksumSize) == Word(kWakeFrame.data() + 6));

// Frames a payload (command word and data) into frame, headed by
// [~address][address]: the hub's own address, or a sensor's on a hub's bus.
// Returns the frame's length, or 0 when the payload is shorter than a word, of
// odd length, too long for a frame or larger than capacity allows.
std::size_t Build(const std::uint8_t* payload, std::size_t count, std::uint8_t* frame, std::size_t capacity,
                  std::uint8_t address = kHubAddress);
// Empty when the payload makes no frame.
Bytes Build(const Bytes& payload, std::uint8_t address = kHubAddress);
// A plain request: the command word and one data word.
Bytes Request(std::uint16_t command, std::uint16_t data = 0);

enum class HeaderCheck {
  kAccepted,
  // Wrong address or a length that no frame can have (out of range, or odd so
  // that the checksum would not sit on a word boundary).
  kBadPrefix,
};

// Checks the four header bytes of a frame whose first byte is the start byte.
HeaderCheck CheckHeader(const std::uint8_t* header);
inline std::size_t DeclaredLength(const std::uint8_t* header) { return Word(header + kLengthOffset); }

struct ChecksumCheck {
  bool matches;
  std::uint16_t read;
  std::uint16_t computed;
};

// Compares a whole frame's checksum word with the sum of the words before it.
ChecksumCheck CheckChecksum(const std::uint8_t* frame, std::size_t length);

enum class ReplyKind {
  kReply,                // answers the request
  kForeign,              // another command's frame, streamed data among them
  kEcho,                 // the request itself coming back
  kDirectAccessTimeout,  // the hub gave up on the request
};

// How a received frame relates to the request frame that was sent. A reply is
// recognised by its command byte, the high byte of its command word.
ReplyKind ClassifyReply(const std::uint8_t* request, std::size_t requestLength, const std::uint8_t* reply,
                        std::size_t replyLength);

// The data of a frame: offset 6 up to the checksum.
Bytes Data(const std::uint8_t* frame, std::size_t length);
// A text reply (an identity): the frame's data up to the first NUL, never beyond.
std::string Text(const std::uint8_t* frame, std::size_t length);

}  // namespace Frame

// Layout of a data frame, the frame a streaming hub sends on its own.
namespace DataFrame {
constexpr std::size_t kCounterOffset = 6;     // 16-bit frame counter
constexpr std::size_t kHubWordOffset = 8;     // 16-bit raw hub word
constexpr std::size_t kMaskOffset = 10;       // 32-bit mask of present sensors, bit N for position N
constexpr std::size_t kFirstBlockOffset = 14;  // sensor blocks, each at its sensor's data offset
static_assert(kFirstBlockOffset == kMaskOffset + 4);
}  // namespace DataFrame

// What a sensor's output looks like in a data frame.
namespace DataType {
constexpr int kRaw = 0;
constexpr int kQuat = 1;
constexpr int kCalibrated = 2;
constexpr int kQuatCalibrated = 3;
// The fixed attitude output of the stream hub's sensor.
constexpr int kStreamSensor = 4;
constexpr int kNone = 0x7FFFFFFF;
}  // namespace DataType

struct DataFormat {
  int dataType;
  int blockSize;  // bytes of the sensor's block in a data frame
};

struct DataFormatRow {
  std::uint16_t code;
  DataFormat format;
};

// The 16-bit codes by which a hub reports or is told a sensor's output format.
constexpr std::array<DataFormatRow, 14> kDataFormats{{
    {0x0000, {DataType::kRaw, 20}},
    {0x0200, {DataType::kRaw, 20}},
    {0x0210, {DataType::kRaw, 20}},
    {1000, {DataType::kRaw, 20}},
    {0x0201, {DataType::kQuat, 10}},
    {0x0211, {DataType::kQuat, 10}},
    {1001, {DataType::kQuat, 10}},
    {4321, {DataType::kQuat, 10}},
    {0x0202, {DataType::kCalibrated, 20}},
    {0x0212, {DataType::kCalibrated, 20}},
    {1002, {DataType::kCalibrated, 20}},
    {0x0203, {DataType::kQuatCalibrated, 30}},
    {0x0213, {DataType::kQuatCalibrated, 30}},
    {1003, {DataType::kQuatCalibrated, 30}},
}};

constexpr bool CodesUnique() {
  for (std::size_t i = 0; i < kDataFormats.size(); ++i)
    for (std::size_t j = i + 1; j < kDataFormats.size(); ++j)
      if (kDataFormats[i].code == kDataFormats[j].code) return false;
  return true;
}
static_assert(CodesUnique(), "one format per code");

constexpr DataFormat kUnknownFormat{DataType::kNone, 0};

constexpr DataFormat LookupDataFormat(std::uint16_t code) {
  for (const auto& row : kDataFormats)
    if (row.code == code) return row.format;
  return kUnknownFormat;
}

static_assert(LookupDataFormat(4321).dataType == DataType::kQuat && LookupDataFormat(4321).blockSize == 10);
static_assert(LookupDataFormat(0x0213).blockSize == 30);
static_assert(LookupDataFormat(1004).dataType == DataType::kNone);

// A received frame as the stream loop hands it on; a hub kind may rewrite it
// in place into the data-frame shape the processing reads.
struct HubFrame {
  std::array<std::uint8_t, Frame::kMaxLength> bytes;
  int length = 0;
};

}  // namespace Communication::Device::QN
