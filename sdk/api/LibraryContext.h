#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include <boost/log/attributes/attribute_set.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/property_tree/ptree.hpp>

class CQuenlith_SDK_Lite;

// The library's process-wide state: the log, the configuration read from the
// INI file and the table of open device sets.
class CLibraryContext {
 public:
  // The main set first, then its dependencies in the order the INI names them.
  using DeviceSets = std::vector<std::shared_ptr<CQuenlith_SDK_Lite>>;

  static constexpr int kVersion = 3 * 65536 + 2431;
  static constexpr const char* kVersionText = "2.0.3.2431";
  static constexpr const char* kLogFile = "./quenlith_sdk_lite.txt";
  static constexpr const char* kDefaultIniFile = "./quenlith_sdk_lite.ini";

  CLibraryContext();
  ~CLibraryContext();

  CLibraryContext(const CLibraryContext&) = delete;
  CLibraryContext& operator=(const CLibraryContext&) = delete;

  int CreateDevice(int workset, const char* iniFile, const char* parameters);
  bool CloseDevice(int handle);
  // A copy of the handle's sets, which keeps them alive for the caller's call;
  // empty when the handle is not open.
  DeviceSets Find(int handle) const;
  // The handle's main set alone, kept alive in the same way; null when the
  // handle is not open. Copies no list, so a call per frame allocates nothing.
  std::shared_ptr<CQuenlith_SDK_Lite> FindMain(int handle) const;

  void LoadIni(const char* iniFile);

 private:
  int FreeHandle() const;
  void AddCommonAttributes();

  using Sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
  // Held so that the logging core outlives the library's statics at process exit.
  boost::log::core_ptr core_;
  boost::shared_ptr<Sink> sink_;
  std::vector<boost::log::attribute_set::iterator> addedAttributes_;
  boost::property_tree::ptree configuration_;
  std::unordered_map<int, DeviceSets> handles_;
};

// Created when the library is loaded into a process, destroyed when it is unloaded.
namespace LibraryContext {
void Attach();
void Detach();
CLibraryContext* Get();
}  // namespace LibraryContext
