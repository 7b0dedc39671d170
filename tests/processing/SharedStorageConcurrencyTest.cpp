#include <atomic>
#include <memory>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Log.h"
#include "processing/storage/DataStorage.h"

namespace {

using SharedStorage::CReader;

// Stream threads of several device sets store and read one key while the
// host's thread opens and closes sets that declare and give back readers of
// it. Every value read is one whole stored value.
TEST(SharedStorageThreads, DeclaringAndReleasingReadersWhileOthersStoreAndRead) {
  Logging::SetLevel(5);  // the SDK's default level: a record per store is not the point here
  constexpr std::size_t kSize = 64;
  const char* key = "test.threads";
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::atomic<int> torn{0};

  const auto pattern = [](int n) { return std::vector<std::uint8_t>(kSize, static_cast<std::uint8_t>(n)); };
  std::thread writer([&] {
    CReader own(key, kSize);
    for (int n = 0; !stop.load(); ++n) {
      const auto value = pattern(n);
      own.Set(value.data(), value.size());
    }
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      CReader own(key, kSize);
      std::vector<std::uint8_t> out(kSize);
      while (!stop.load()) {
        if (!own.Get(out.data(), out.size())) continue;
        ++reads;
        if (out != pattern(out[0])) ++torn;
      }
    });

  // Up to a thousand readers at a time, so that their flags grow under the
  // others' feet, then all given back and declared again.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<CReader>> passing;
    std::vector<std::uint8_t> out(kSize);
    for (int n = 0; n < 1000; ++n) {
      passing.push_back(std::make_unique<CReader>(key, kSize));
      if (passing.back()->Get(out.data(), out.size()) && out != pattern(out[0])) ++torn;
    }
  }
  while (reads.load() < 100) std::this_thread::yield();
  stop = true;
  writer.join();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
