#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "processing/storage/DataEntry.h"

// A process-wide table of named byte values through which stages of any device
// set publish their latest result and read the others'. A user declares its
// interest in a key first and gets a reader index; entries stay until the
// process ends, so later device sets that declare a key share it.
namespace SharedStorage {

class CDataStorage {
 public:
  static CDataStorage& Instance();

  CDataStorage(const CDataStorage&) = delete;
  CDataStorage& operator=(const CDataStorage&) = delete;

  // The entry of key, made with size zero bytes unless the key exists (then
  // its first size stands), and a new reader index of it. Throws
  // std::logic_error when the key already has its maximum of live readers.
  // The index is the caller's until it gives it back (CReader does).
  int Declare(const std::string& key, std::size_t size, std::shared_ptr<CDataEntry>& entry);
  static void Set(CDataEntry& entry, const void* bytes, std::size_t size) { entry.Set(bytes, size); }

 private:
  CDataStorage();

  std::mutex lock_;  // guards the table
  std::unordered_map<std::string, std::shared_ptr<CDataEntry>> table_;
};

// One user's declaration of a key, given back when the user goes so that the
// index serves a later user.
class CReader {
 public:
  CReader(const std::string& key, std::size_t size);
  ~CReader();

  CReader(const CReader&) = delete;
  CReader& operator=(const CReader&) = delete;

  void Set(const void* bytes, std::size_t size) { entry_->Set(bytes, size); }
  bool Get(void* bytes, std::size_t size) { return entry_->Get(index_, bytes, size); }

  int Index() const { return index_; }
  const std::shared_ptr<CDataEntry>& Entry() const { return entry_; }

 private:
  std::shared_ptr<CDataEntry> entry_;
  int index_;
};

}  // namespace SharedStorage
