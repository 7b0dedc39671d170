#include "processing/storage/DataStorage.h"

#include <stdexcept>

#include "common/Log.h"

namespace SharedStorage {

CDataStorage::CDataStorage() : table_(8) { table_.max_load_factor(1.0f); }

CDataStorage& CDataStorage::Instance() {
  static CDataStorage instance;
  return instance;
}

int CDataStorage::Declare(const std::string& key, std::size_t size, std::shared_ptr<CDataEntry>& entry) {
  const std::lock_guard<std::mutex> lock(lock_);
  auto& slot = table_[key];
  if (!slot) slot = std::make_shared<CDataEntry>(key, size);
  const int reader = slot->AddReader();
  if (reader < 0) throw std::logic_error("CDataStorage: too many providers for one key");
  entry = slot;
  QLOG(debug) << "declare " << key << "(" << size << ")[" << reader << "]: " << EntryIdentity{*entry};
  return reader;
}

CReader::CReader(const std::string& key, std::size_t size) {
  index_ = CDataStorage::Instance().Declare(key, size, entry_);
}

CReader::~CReader() { entry_->ReleaseReader(index_); }

}  // namespace SharedStorage
