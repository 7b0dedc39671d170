// The processed-record hub's own frames: sync, mask, header word, one record
// per set bit, footer; taken apart without a port.

#include <memory>

#include <gtest/gtest.h>

#include "ByteSource.h"
#include "LogCapture.h"
#include "communication/qn/QnSdk.h"

namespace {

using Communication::Device::QN::Bytes;
using Communication::Device::QN::CQnSdk;

Bytes SdkFrame(std::uint32_t mask, std::size_t records, std::uint32_t footer = 0xAAAAAAAA) {
  Bytes frame(4, 0x55);
  for (const std::uint32_t word : {mask, std::uint32_t{0x01020304}})
    for (int k = 0; k < 4; ++k) frame.push_back(static_cast<std::uint8_t>(word >> (8 * k)));
  for (std::size_t i = 0; i < 104 * records; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  for (int k = 0; k < 4; ++k) frame.push_back(static_cast<std::uint8_t>(footer >> (8 * k)));
  return frame;
}

TEST(QnSdkFrames, AreTakenWholeOnlyWithSyncAndFooter) {
  struct Case {
    const char* name;
    Bytes line;
    int capacity;
    int length;  // what ReceiveFrame returns
  };
  Bytes badSync = SdkFrame(5, 2);
  badSync[2] = 0x54;
  Bytes cut = SdkFrame(5, 2);
  cut.pop_back();
  const std::vector<Case> cases{
      {"two records", SdkFrame(5, 2), 16384, 224},
      {"no record", SdkFrame(0, 0), 16384, 16},
      {"every record", SdkFrame(0xFFFFFFFF, 32), 16384, 3344},
      {"exactly the room it needs", SdkFrame(5, 2), 224, 224},
      {"too little room", SdkFrame(5, 2), 223, 0},
      {"less room than a header", SdkFrame(0, 0), 15, 0},
      {"wrong footer", SdkFrame(5, 2, 0xAAAAAAAB), 16384, 0},
      {"broken sync", badSync, 16384, 0},
      {"cut short", cut, 16384, 0},
  };
  for (const auto& c : cases) {
    const auto line = std::make_shared<ByteSource>();
    line->Feed(c.line);
    const auto hub = std::make_shared<CQnSdk>(line);
    Bytes buffer(16384, 0xEE);
    EXPECT_EQ(hub->ReceiveFrame(buffer.data(), c.capacity), c.length) << c.name;
    if (c.length > 0) {
      EXPECT_TRUE(std::equal(c.line.begin(), c.line.end(), buffer.begin())) << c.name;
      EXPECT_EQ(buffer[static_cast<std::size_t>(c.length)], 0xEE) << c.name;
    }
  }
}

TEST(QnSdkFrames, AWrongFooterIsLoggedAndTheNextFrameTaken) {
  LogCapture log;
  const auto line = std::make_shared<ByteSource>();
  line->Feed(SdkFrame(1, 1, 0));
  line->Feed(SdkFrame(1, 1));
  const auto hub = std::make_shared<CQnSdk>(line);
  Bytes buffer(16384);
  EXPECT_EQ(hub->ReceiveFrame(buffer.data(), 16384), 0);
  EXPECT_TRUE(log.Contains("<trace> receive error: wrong footer"));
  EXPECT_EQ(hub->ReceiveFrame(buffer.data(), 16384), 120);
}

}  // namespace
