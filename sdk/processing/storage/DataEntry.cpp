#include "processing/storage/DataEntry.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/Log.h"

namespace SharedStorage {

CDataEntry::CDataEntry(std::string key, std::size_t size) : key_(std::move(key)), value_(size, 0) {}

namespace {

// A declaration of size 0 has no storage to copy to or from.
void Copy(void* to, const void* from, std::size_t count) {
  if (count > 0) std::memcpy(to, from, count);
}

}  // namespace

void CDataEntry::Set(const void* bytes, std::size_t size) {
  if (!bytes) return;
  const std::unique_lock<std::shared_mutex> lock(lock_);
  Copy(value_.data(), bytes, std::min(size, value_.size()));
  std::fill(fresh_.begin(), fresh_.end(), std::uint8_t{1});
  hasValue_ = true;
  QLOG(trace) << "set " << EntryIdentity{*this} << ": " << boost::log::dump(value_.data(), value_.size());
}

bool CDataEntry::Get(int reader, void* bytes, std::size_t size) {
  // Readers share the lock: each clears only its own flag, a byte of its own.
  const std::shared_lock<std::shared_mutex> lock(lock_);
  const auto index = static_cast<std::size_t>(reader);
  if (reader < 0 || index >= fresh_.size() || !hasValue_ || !fresh_[index] || !bytes) return false;
  Copy(bytes, value_.data(), std::min(size, value_.size()));
  fresh_[index] = 0;
  QLOG(trace) << "get " << EntryIdentity{*this} << "[" << reader
              << "]: " << boost::log::dump(value_.data(), value_.size());
  return true;
}

int CDataEntry::AddReader() {
  // Exclusive: adding a flag may move the flags that readers and writers use.
  const std::unique_lock<std::shared_mutex> lock(lock_);
  const auto free = std::find(live_.begin(), live_.end(), std::uint8_t{0});
  const auto index = static_cast<std::size_t>(free - live_.begin());
  if (free == live_.end()) {
    if (live_.size() >= static_cast<std::size_t>(kMaxReaders)) return -1;
    live_.push_back(0);
    fresh_.push_back(0);
  }
  live_[index] = 1;
  // A reader that comes after a store sees that value as fresh.
  fresh_[index] = hasValue_ ? 1 : 0;
  return static_cast<int>(index);
}

void CDataEntry::ReleaseReader(int reader) {
  const std::unique_lock<std::shared_mutex> lock(lock_);
  const auto index = static_cast<std::size_t>(reader);
  if (reader < 0 || index >= live_.size()) return;
  live_[index] = 0;
  fresh_[index] = 0;
}

}  // namespace SharedStorage
