#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "TestFrames.h"
#include "processing/SdkFrame.h"
#include "processing/manager/MemsenseManager.h"
#include "processing/manager/SdkManager.h"
#include "processing/manager/VnManager.h"
#include "processing/storage/DataStorage.h"

namespace {

using namespace TestFrames;
using Processing::SdkFrame;

// A frame of the hub that sends processed records: mask, header word, one
// 104-byte record per set bit, footer.
Bytes SdkHubFrame(std::uint32_t mask, std::uint32_t headerWord, std::size_t records) {
  Bytes frame(12 + 104 * records + 4, 0);
  Put32(frame, 4, mask);
  Put32(frame, 8, headerWord);
  for (std::size_t i = 0; i < records; ++i) {
    const std::size_t at = 12 + 104 * i;
    for (std::size_t j = 0; j < 9; ++j) PutFloat(frame, at + 4 * j, static_cast<float>(100 * i + j) + 0.5f);
    for (std::size_t j = 0; j < 4; ++j) PutFloat(frame, at + 52 + 4 * j, static_cast<float>(j) * 0.25f - 0.5f);
    for (std::size_t j = 0; j < 5; ++j) Put32(frame, at + 84 + 4 * j, static_cast<std::uint32_t>(0x1000 * (i + 1) + j));
  }
  return frame;
}

TEST(SdkFrameManager, FillsBlocksInRecordOrderAndCountsFrames) {
  const auto hub = std::make_shared<Communication::Device::CDevice>("QNSDK", "quenlith");
  Processing::Manager::QN::CSdkManager manager(hub);
  ASSERT_TRUE(manager.Configure({}, nullptr));

  const std::uint32_t mask = 0x80000001;  // bits 0 and 31: blocks 0 and 1
  const auto raw = SdkHubFrame(mask, 0xCAFEF00D, 2);
  auto frame = std::make_unique<SdkFrame>();
  ASSERT_TRUE(manager.Process(raw.data(), frame.get()));

  EXPECT_EQ(U16At(frame.get(), 0), 0);
  EXPECT_EQ(U16At(frame.get(), 2), 0);
  EXPECT_EQ(U32At(frame.get(), 4), mask);
  EXPECT_TRUE(AllZero(frame.get(), 8, 8));
  for (std::size_t i = 0; i < 2; ++i) {
    const auto r = Record(i);
    for (std::size_t j = 0; j < 9; ++j)  // acceleration, angular rate, magnetic field
      EXPECT_EQ(DoubleAt(frame.get(), r + 80 + 8 * j), 100.0 * i + j + 0.5) << "record " << i << " value " << j;
    for (std::size_t j = 0; j < 4; ++j)
      EXPECT_EQ(DoubleAt(frame.get(), r + 160 + 8 * j), j * 0.25 - 0.5) << "record " << i << " quaternion " << j;
    const std::uint32_t base = 0x1000 * static_cast<std::uint32_t>(i + 1);
    EXPECT_EQ(U32At(frame.get(), r + 456), 0xCAFEF00Du);
    EXPECT_EQ(U32At(frame.get(), r + 460), base + 0);  // record byte 84
    EXPECT_EQ(U32At(frame.get(), r + 464), base + 2);  // record byte 92
    EXPECT_EQ(U32At(frame.get(), r + 468), base + 1);  // record byte 88
    EXPECT_EQ(U32At(frame.get(), r + 472), base + 3);  // record byte 96
    EXPECT_EQ(U32At(frame.get(), r + 476), base + 4);  // record byte 100
    EXPECT_TRUE(AllZero(frame.get(), r, 80)) << i;
    EXPECT_TRUE(AllZero(frame.get(), r + 152, 8)) << i;
    EXPECT_TRUE(AllZero(frame.get(), r + 192, 264)) << i;
  }
  for (std::size_t k = 2; k < 32; ++k) EXPECT_TRUE(AllZero(frame.get(), Record(k), 512)) << k;

  // A frame without records is not handed on and not counted.
  const auto empty = SdkHubFrame(0, 1, 0);
  EXPECT_FALSE(manager.Process(empty.data(), frame.get()));
  const std::uint16_t expectedCounters[] = {1, 2};
  for (const auto counter : expectedCounters) {
    ASSERT_TRUE(manager.Process(raw.data(), frame.get()));
    EXPECT_EQ(U16At(frame.get(), 0), counter);
  }
  ASSERT_TRUE(manager.Configure({}, nullptr));
  ASSERT_TRUE(manager.Process(raw.data(), frame.get()));
  EXPECT_EQ(U16At(frame.get(), 0), 0) << "configuration restarts the count";
}

TEST(MemsenseManager, FillsTheFirstBlockOnceConfigured) {
  const auto device = std::make_shared<Communication::Device::CDevice>("memsense", "unknown");
  Processing::Manager::CMemsenseManager manager(device);
  Bytes packet(64, 0xEE);
  for (std::size_t j = 0; j < 3; ++j) {
    PutFloat(packet, 6 + 4 * j, 1.5f + j);
    PutFloat(packet, 20 + 4 * j, -2.5f - j);
    PutFloat(packet, 34 + 4 * j, 0.125f * (j + 1));
    Put32(packet, 48 + 4 * j, 0xA0000000u + j);
  }

  auto frame = std::make_unique<SdkFrame>();
  EXPECT_TRUE(manager.Process(packet.data(), frame.get())) << "an unconfigured manager still hands frames on";
  EXPECT_TRUE(AllZero(frame.get(), 0, sizeof(SdkFrame)));
  EXPECT_TRUE(manager.ExecuteCommand("anything", nullptr, nullptr));

  ASSERT_TRUE(manager.Configure({}, nullptr));
  for (std::uint16_t counter = 0; counter < 2; ++counter) {
    frame = std::make_unique<SdkFrame>();
    ASSERT_TRUE(manager.Process(packet.data(), frame.get()));
    EXPECT_EQ(U16At(frame.get(), 0), counter);
    EXPECT_EQ(U32At(frame.get(), 4), 1u);
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(DoubleAt(frame.get(), Record(0) + 80 + 8 * j), 1.5 + j);
      EXPECT_EQ(DoubleAt(frame.get(), Record(0) + 104 + 8 * j), -2.5 - j);
      EXPECT_EQ(DoubleAt(frame.get(), Record(0) + 128 + 8 * j), 0.125 * (j + 1));
      EXPECT_EQ(U32At(frame.get(), Record(0) + 456 + 4 * j), 0xA0000000u + j);
    }
    EXPECT_TRUE(AllZero(frame.get(), Record(0) + 152, 304));
    EXPECT_TRUE(AllZero(frame.get(), Record(1), 31 * 512));
  }
}

TEST(VectorNavManager, PublishesTheRecordAndFillsTheFirstBlockOnceConfigured) {
  const auto device = std::make_shared<Communication::Device::CDevice>("vn", "unknown");
  // A reader of the storage entry declared before the manager publishes.
  SharedStorage::CReader published("vectorNavData", 1072);
  Processing::Manager::CVnManager manager(device);

  // Every double of the record distinct: 1000 + its byte offset.
  Bytes record(1072, 0);
  for (std::size_t at = 0; at + 8 <= record.size(); at += 8) {
    const double value = 1000.0 + at;
    std::memcpy(record.data() + at, &value, sizeof value);
  }

  auto frame = std::make_unique<SdkFrame>();
  EXPECT_TRUE(manager.Process(record.data(), frame.get())) << "an unconfigured manager still hands frames on";
  EXPECT_TRUE(AllZero(frame.get(), 0, sizeof(SdkFrame)));
  Bytes seen(1072, 0);
  EXPECT_FALSE(published.Get(seen.data(), seen.size())) << "published before configuration";
  EXPECT_TRUE(manager.ExecuteCommand("anything", nullptr, nullptr));

  ASSERT_TRUE(manager.Configure({}, nullptr));
  for (std::uint16_t counter = 0; counter < 2; ++counter) {
    frame = std::make_unique<SdkFrame>();
    ASSERT_TRUE(manager.Process(record.data(), frame.get()));
    EXPECT_EQ(U16At(frame.get(), 0), counter);
    EXPECT_EQ(U32At(frame.get(), 4), 1u);
    // Frame block 0 offset and the record offset it comes from.
    const std::pair<std::size_t, std::size_t> copied[] = {
        {80, 80},   {88, 88},   {96, 96},                // acceleration
        {104, 104}, {112, 112}, {120, 120},              // angular rate
        {128, 56},  {136, 64},  {144, 72},               // magnetic field
        {160, 24},  {168, 32},  {176, 40},  {184, 48},   // quaternion x, y, z, w
    };
    for (const auto& [to, from] : copied) EXPECT_EQ(DoubleAt(frame.get(), Record(0) + to), 1000.0 + from) << "block byte " << to;
    EXPECT_TRUE(AllZero(frame.get(), Record(0), 80));
    EXPECT_TRUE(AllZero(frame.get(), Record(0) + 152, 8));
    EXPECT_TRUE(AllZero(frame.get(), Record(0) + 192, 320));
    EXPECT_TRUE(AllZero(frame.get(), Record(1), 31 * 512));

    ASSERT_TRUE(published.Get(seen.data(), seen.size()));
    EXPECT_EQ(seen, record);
    EXPECT_FALSE(published.Get(seen.data(), seen.size())) << "a reader sees each record once";
  }
}

}  // namespace
