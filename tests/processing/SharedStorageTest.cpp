#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/Log.h"
#include "processing/storage/DataStorage.h"

namespace {

using SharedStorage::CDataEntry;
using SharedStorage::CDataStorage;
using SharedStorage::CReader;
using Bytes = std::vector<std::uint8_t>;

// Entries stay for the process, so every test uses keys of its own.

TEST(SharedStorage, EachReaderSeesEachStoredValueOnce) {
  LogCapture log;
  std::unique_ptr<CReader> readers[2];  // the second declares after the first store
  readers[0] = std::make_unique<CReader>("test.freshness", 4);
  EXPECT_EQ(log.Count("<debug> declare test.freshness(4)[0]: test.freshness@0x"), 1u);

  enum class Op { Store, Read, DeclareSecond };
  const struct {
    Op op;
    int reader;
    std::uint8_t value;  // stored, or expected after the read
    bool fresh;
  } steps[] = {
      {Op::Read, 0, 0xEE, false},  // nothing stored yet: the output is left alone
      {Op::Store, 0, 1, false},
      {Op::DeclareSecond, 1, 0, false},
      {Op::Read, 0, 1, true},
      {Op::Read, 0, 0xEE, false},
      {Op::Read, 1, 1, true},
      {Op::Read, 1, 0xEE, false},
      {Op::Store, 1, 2, false},
      {Op::Store, 0, 3, false},
      {Op::Read, 1, 3, true},
      {Op::Read, 0, 3, true},
      {Op::Read, 0, 0xEE, false},
      {Op::Read, 1, 0xEE, false},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    switch (step.op) {
      case Op::Store: {
        const Bytes value(4, step.value);
        readers[step.reader]->Set(value.data(), value.size());
        break;
      }
      case Op::DeclareSecond:
        readers[1] = std::make_unique<CReader>("test.freshness", 4);
        EXPECT_EQ(readers[1]->Index(), 1);
        break;
      case Op::Read: {
        Bytes out(4, 0xEE);
        EXPECT_EQ(readers[step.reader]->Get(out.data(), out.size()), step.fresh) << "step " << i;
        EXPECT_EQ(out, Bytes(4, step.value)) << "step " << i;
        break;
      }
    }
  }
}

TEST(SharedStorage, ValuesAreCopiedAtMostTheCallersSize) {
  // The first declaration fixes the size; a user of another size shares the
  // entry and never has more than its own buffer copied. Buffers are exactly
  // the user's size, so that a copy past them shows under AddressSanitizer.
  CReader wide("test.size.wide", 16);
  CReader narrow("test.size.wide", 8);
  EXPECT_EQ(narrow.Entry(), wide.Entry());
  EXPECT_EQ(narrow.Entry()->Size(), 16u);

  const auto small = std::make_unique<std::array<std::uint8_t, 8>>();
  small->fill(0x11);
  narrow.Set(small->data(), small->size());
  Bytes out(16, 0xEE);
  ASSERT_TRUE(wide.Get(out.data(), out.size()));
  EXPECT_EQ(out, (Bytes{0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0, 0, 0, 0, 0, 0, 0, 0}));

  Bytes full(16);
  for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i + 1);
  wide.Set(full.data(), full.size());
  small->fill(0xEE);
  ASSERT_TRUE(narrow.Get(small->data(), small->size()));
  EXPECT_EQ(Bytes(small->begin(), small->end()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

  CReader first("test.size.narrow", 8);
  CReader second("test.size.narrow", 16);
  EXPECT_EQ(second.Entry()->Size(), 8u);
  second.Set(full.data(), full.size());
  Bytes larger(16, 0xEE);
  ASSERT_TRUE(second.Get(larger.data(), larger.size()));
  EXPECT_EQ(larger, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(SharedStorage, AKeyHasAtMost1024LiveReadersAndReusesTheSlotsOfThoseGone) {
  Logging::SetLevel(5);  // the SDK's default level: a record per declaration is not the point here
  const std::string key = "test.limit";
  std::vector<std::unique_ptr<CReader>> readers;
  for (int i = 0; i < CDataEntry::kMaxReaders; ++i) {
    readers.push_back(std::make_unique<CReader>(key, 8));
    ASSERT_EQ(readers.back()->Index(), i);
  }
  try {
    CReader tooMany(key, 8);
    FAIL() << "the 1,025th live reader was accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "CDataStorage: too many providers for one key");
  }

  // A store before the slot is reused: the new user sees it as fresh, as any
  // reader declared after a store does, and not the old user's state.
  const Bytes stored(8, 0x42);
  readers[0]->Set(stored.data(), stored.size());
  Bytes out(8);
  ASSERT_TRUE(readers[700]->Get(out.data(), out.size()));
  readers[700].reset();
  readers[700] = std::make_unique<CReader>(key, 8);
  EXPECT_EQ(readers[700]->Index(), 700);
  EXPECT_TRUE(readers[700]->Get(out.data(), out.size()));

  // Users that come and go, as managers of reopened device sets do.
  readers[5].reset();
  for (int round = 0; round < 2000; ++round) {
    CReader passing(key, 8);
    ASSERT_EQ(passing.Index(), 5) << "round " << round;
  }
}

}  // namespace
