#pragma once

// Finds the COM port of a USB serial adapter: the user registers the adapters
// it looks for by name and USB ids, scans, and takes the entries found.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/thread/mutex.hpp>

namespace Lumeth::Core::SensorLibrary {

// One registered adapter.
struct PortDescription {
  std::string name = "<unknown>";
  std::uint32_t vendorId = 0;  // USB vendor id
  std::uint32_t productId = 0;  // USB product id
  bool found = false;
  std::string friendlyName = "Unknown";  // the device's name as the system shows it
  int comNumber = 0;  // port N is COM N
  std::string portName = "/dev/<unknown>";
  // Names of the registered entries that together make up a composite entry;
  // empty for an ordinary adapter.
  std::vector<std::string> members;
};

class CConnectionManager;

// The walk over the system's devices.
class CConnectionManagerImplementation {
 public:
  explicit CConnectionManagerImplementation(CConnectionManager& manager) : manager(manager) {}
  // Marks the entries whose adapter is present as found, with their port.
  virtual bool enumerate() = 0;
  virtual ~CConnectionManagerImplementation() = default;

 protected:
  // The manager's entries, keyed by name; the scan runs on one thread.
  std::map<std::string, PortDescription>& entries();

 private:
  CConnectionManager& manager;
};

class CConnectionManager {
 public:
  CConnectionManager();
  ~CConnectionManager();

  CConnectionManager(const CConnectionManager&) = delete;
  CConnectionManager& operator=(const CConnectionManager&) = delete;

  // Inserts or replaces the entry of this name.
  void registerDevice(const std::string& name, const std::uint32_t& vendorId, const std::uint32_t& productId);
  // Starts every entry afresh, so nothing of an earlier scan survives.
  void scanDevices();
  // The found entries, in name order.
  void getFoundDevices(std::vector<PortDescription>& found);

 private:
  friend class CConnectionManagerImplementation;

  std::map<std::string, PortDescription> entries;
  boost::mutex mutex;
  std::shared_ptr<CConnectionManagerImplementation> implementation;
};

}  // namespace Lumeth::Core::SensorLibrary
