#include <gtest/gtest.h>

#include <cstdio>

#include "StoredFrames.h"
#include "StreamFrames.h"
#include "StreamMessage.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;

std::string hex(const std::string& bytes) {
  std::string text;
  char digits[4];
  for (const char byte : bytes) {
    std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", static_cast<unsigned char>(byte));
    text += digits;
  }
  return text;
}

TEST(StoredFrames, AreSentByteForByteWithTheirWordSum) {
  const struct {
    const char* name;
    const StoredFrame& frame;
    const char* wire;
  } cases[] = {
      {"identify", Frames::kIdentify, "AA 55 08 00 00 01 B2 56"},
      {"stream on", Frames::kStreamOn, "AA 55 0A 00 00 04 FF FF B3 59"},
      {"stream off", Frames::kStreamOff, "AA 55 0A 00 00 04 00 00 B4 59"},
      {"read flash", Frames::kReadFlash, "AA 55 08 00 00 05 B2 5A"},
      {"data mode", Frames::kDataMode, "AA 55 0A 00 01 04 EB 03 A0 5D"},
      {"data period", Frames::kDataPeriod, "AA 55 0A 00 02 04 19 41 CF 9A"},
      {"request 0x0800", Frames::kRequest0800, "AA 55 08 00 00 08 B2 5D"},
      {"OEM configuration", Frames::kOemConfiguration, "AA 55 10 00 04 04 20 7D FE 01 03 02 08 1C E7 F6"},
      {"0xFF00", Frames::kCommandFF00, "AA 55 08 00 00 FF B2 54"},
      {"0x0300", Frames::kGetState, "AA 55 08 00 00 03 B2 58"},
      {"0xFFFF", Frames::kCommandFFFF, "AA 55 08 00 FF FF B1 55"},
      {"period 2000", Frames::kDataPeriod2000, "AA 55 0A 00 02 04 D0 07 86 61"},
      {"period 33332", Frames::kDataPeriod33332, "AA 55 0A 00 02 04 34 82 EA DB"},
      {"period 62499", Frames::kDataPeriod62499, "AA 55 0A 00 02 04 23 F4 D9 4D"},
      {"0x0408", Frames::kCommand0408, "AA 55 0A 00 08 04 00 00 BC 59"},
      {"OEM configuration B", Frames::kOemConfigurationB, "AA 55 10 00 04 04 20 7D FE 01 01 02 08 08 E5 E2"},
      {"OEM configuration C", Frames::kOemConfigurationC, "AA 55 10 00 04 04 41 1A 00 10 00 02 08 14 07 9A"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(c.frame.text()), c.wire) << c.name;
    // The receiving side's own check accepts every frame we send.
    EXPECT_TRUE(checksumMatches(StreamFrames::message(c.frame.text()))) << c.name;
  }
}

TEST(Checksum, IsTheWordSumOfEverythingBeforeIt) {
  // Smallest frame: sync + length + type.
  const auto empty = StreamFrames::message(StreamFrames::frame(0x0100, ""));
  EXPECT_EQ(empty.checksum, static_cast<std::uint16_t>(0x55AA + 0x0008 + 0x0100));
  EXPECT_TRUE(checksumMatches(empty));
  EXPECT_TRUE(empty.payload.empty());

  // Wrap-around of the 16-bit sum.
  EXPECT_TRUE(checksumMatches(StreamFrames::message(StreamFrames::wordFrame(0xFFFF, {0xFFFF, 0xFFFF, 0x8000}))));

  const struct {
    const char* name;
    std::string frame;
  } wrong[] = {
      {"off by one", StreamFrames::frame(0x0213, StreamFrames::words({1, 2, 3}), 1)},
      {"byte sum instead of word sum", StreamFrames::frame(0x0110, "ab", static_cast<std::uint16_t>(0x1234))},
  };
  for (const auto& c : wrong) EXPECT_FALSE(checksumMatches(StreamFrames::message(c.frame))) << c.name;
}

TEST(MessageFromBody, TakesWholeWordsAndTheLastTwoBytesAsChecksum) {
  // Odd length 11: one payload word, the spare byte skipped, checksum from bytes 9 and 10.
  const std::string odd = {'\xAA', '\x55', '\x0B', '\x00', '\x10', '\x01', '\x34', '\x12', '\x7F', '\xCD', '\xAB'};
  const auto message = StreamFrames::message(odd);
  EXPECT_EQ(message.header, 0x000B55AAu);
  EXPECT_EQ(message.type, 0x0110);
  ASSERT_EQ(message.payload.size(), 1u);
  EXPECT_EQ(message.payload[0], 0x1234);
  EXPECT_EQ(message.checksum, 0xABCD);
}

TEST(FrameLength, AcceptsEightTo2064Bytes) {
  const struct {
    std::size_t length;
    bool accepted;
  } cases[] = {{0, false}, {7, false}, {8, true}, {9, true}, {2064, true}, {2065, false}, {0xFFFF, false}};
  for (const auto& c : cases) EXPECT_EQ(isAcceptedFrameLength(c.length), c.accepted) << c.length;
}

TEST(Names, OfMessageTypesAndDataModes) {
  EXPECT_EQ(messageTypeName(0x0213), "GetDataF");
  EXPECT_EQ(messageTypeName(0x0510), "ReadFlash");
  EXPECT_EQ(messageTypeName(0x0110), "GetIden");
  EXPECT_EQ(messageTypeName(0x0999), "0x0999");
  EXPECT_EQ(dataModeNames().at(Frames::kDataMode.word(6)), "GetDataF");
  EXPECT_EQ(dataModeNames().size(), 5u);
}

}  // namespace
