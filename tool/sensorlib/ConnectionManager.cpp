#include "ConnectionManager.h"

#include <boost/thread/lock_guard.hpp>

#include "platform/ConnectionManagerLinux.h"

namespace Lumeth::Core::SensorLibrary {

std::map<std::string, PortDescription>& CConnectionManagerImplementation::entries() { return manager.entries; }

CConnectionManager::CConnectionManager()
    : implementation(std::make_shared<CConnectionManagerLinux>(*this)) {}

CConnectionManager::~CConnectionManager() {
  {
    boost::lock_guard<boost::mutex> lock(mutex);
    entries.clear();
  }
  implementation.reset();
}

void CConnectionManager::registerDevice(const std::string& name, const std::uint32_t& vendorId,
                                        const std::uint32_t& productId) {
  PortDescription entry;
  entry.name = name;
  entry.vendorId = vendorId;
  entry.productId = productId;
  boost::lock_guard<boost::mutex> lock(mutex);
  entries[name] = entry;
}

void CConnectionManager::scanDevices() {
  for (auto& [name, entry] : entries) {
    entry.found = false;
    entry.comNumber = 0;
    entry.portName = "/dev/<unknown>";
    entry.friendlyName = "Unknown";
  }
  // A failed walk leaves the entries not found, which is all a caller needs.
  implementation->enumerate();

  for (auto& [name, entry] : entries)
    if (entry.vendorId == 0) entry.found = true;

  // A composite entry is found only when every member is.
  for (auto& [name, entry] : entries) {
    if (entry.vendorId != 0 || entry.members.empty()) continue;
    for (const auto& member : entry.members) {
      boost::lock_guard<boost::mutex> lock(mutex);
      const auto it = entries.find(member);
      if (it == entries.end() || !it->second.found) entry.found = false;
    }
  }
}

void CConnectionManager::getFoundDevices(std::vector<PortDescription>& found) {
  boost::lock_guard<boost::mutex> lock(mutex);
  found.clear();
  for (const auto& [name, entry] : entries)
    if (entry.found) found.push_back(entry);
}

}  // namespace Lumeth::Core::SensorLibrary
