#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

namespace SharedStorage {

// One named value of the process-wide storage and the readers that declared
// it. Each reader sees each stored value at most once.
class CDataEntry {
 public:
  // A key allows this many live readers.
  static constexpr int kMaxReaders = 1024;

  CDataEntry(std::string key, std::size_t size);

  CDataEntry(const CDataEntry&) = delete;
  CDataEntry& operator=(const CDataEntry&) = delete;

  // Copies the smaller of size and the value's size from bytes and marks the
  // value fresh for every reader; null bytes change nothing.
  void Set(const void* bytes, std::size_t size);
  // When a value is fresh for this reader: copies the smaller of size and the
  // value's size to bytes, marks it read and returns true. Otherwise false, and
  // bytes are left alone.
  bool Get(int reader, void* bytes, std::size_t size);

  const std::string& Key() const { return key_; }
  // Fixed by the first declaration of the key.
  std::size_t Size() const { return value_.size(); }

 private:
  friend class CDataStorage;
  friend class CReader;

  // The lowest free reader index, its flag as fresh as the value is; -1 when
  // kMaxReaders are live.
  int AddReader();
  void ReleaseReader(int reader);

  const std::string key_;
  std::shared_mutex lock_;  // guards everything below
  std::vector<std::uint8_t> value_;
  std::vector<std::uint8_t> fresh_;  // by reader index
  std::vector<std::uint8_t> live_;   // by reader index: 0 once the reader has gone
  bool hasValue_ = false;
};

// How log records name an entry: its key and where it lives, which tells apart
// entries of one key made by separate loads of the library.
struct EntryIdentity {
  const CDataEntry& entry;
};

template <class Stream>
Stream& operator<<(Stream& stream, const EntryIdentity& identity) {
  stream << identity.entry.Key() << '@' << static_cast<const void*>(&identity.entry);
  return stream;
}

}  // namespace SharedStorage
