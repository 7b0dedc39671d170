#include "api/LibraryContext.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <utility>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/counter.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/make_shared.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "api/QuenlithSdkLite.h"
#include "common/Configuration.h"
#include "common/Log.h"

namespace {

CLibraryContext* g_context = nullptr;

// Pointers below one page are not parameter texts; old hosts pass small
// integers there.
bool IsParameterText(const char* parameters) {
  return reinterpret_cast<std::uintptr_t>(parameters) >= 0x1000;
}

// Stops every set on the calling thread before letting go of it. A stream
// thread with a frame in hand holds its set too, and must not be left to end
// it after the host believes it closed.
void Release(CLibraryContext::DeviceSets& sets) {
  for (const auto& set : sets) set->Stop();
  sets.clear();
}

// For cleanup paths, which have nowhere to report a failure.
void ReleaseQuietly(CLibraryContext::DeviceSets& sets) noexcept {
  try {
    Release(sets);
  } catch (...) {
  }
}

}  // namespace

CLibraryContext::CLibraryContext() : core_(boost::log::core::get()) {
  namespace expr = boost::log::expressions;
  auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
  backend->add_stream(boost::make_shared<std::ofstream>(kLogFile, std::ios::out | std::ios::trunc));
  backend->auto_flush(true);
  sink_ = boost::make_shared<Sink>(backend);
  sink_->set_formatter(expr::stream << expr::format_date_time<boost::posix_time::ptime>("TimeStamp",
                                                                                       "[%Y-%m-%d %T.%f] ")
                                    << expr::attr<boost::log::attributes::current_thread_id::value_type>("ThreadID")
                                    << ": <" << boost::log::trivial::severity << "> " << expr::smessage);
  // A filter left by an earlier load of the library in this process must not
  // hide the version record.
  core_->reset_filter();
  core_->add_sink(sink_);
  AddCommonAttributes();
  QLOG(info) << "using sdk lite version " << kVersionText;
}

CLibraryContext::~CLibraryContext() {
  // The sets close first, while the level filter still holds their records
  // back and the ones it passes still reach the log file.
  for (auto& [handle, sets] : handles_) ReleaseQuietly(sets);
  handles_.clear();
  configuration_.clear();
  // The logging core may outlive this library (a host that logs through it
  // too): leave no sink, filter or attribute behind whose code goes with us,
  // and none of the host's own sinks taken away.
  core_->remove_sink(sink_);
  core_->reset_filter();
  for (const auto& attribute : addedAttributes_) core_->remove_global_attribute(attribute);
}

void CLibraryContext::AddCommonAttributes() {
  namespace attrs = boost::log::attributes;
  const std::pair<const char*, boost::log::attribute> attributes[] = {
      {"LineID", attrs::counter<unsigned int>(1)},
      {"TimeStamp", attrs::local_clock()},
      {"ProcessID", attrs::current_process_id()},
      {"ThreadID", attrs::current_thread_id()},
  };
  for (const auto& [name, attribute] : attributes) {
    const auto added = core_->add_global_attribute(name, attribute);
    if (added.second) addedAttributes_.push_back(added.first);
  }
}

void CLibraryContext::LoadIni(const char* iniFile) {
  const std::string path = iniFile ? iniFile : kDefaultIniFile;
  // Only a regular file: a FIFO would block the open for ever and a device
  // would be read without end.
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) {
    try {
      boost::property_tree::ptree loaded;
      boost::property_tree::ini_parser::read_ini(path, loaded);
      configuration_ = std::move(loaded);
      return;
    } catch (const std::exception&) {
    }
  }
  QLOG(warning) << "ini file loading failed: " << path;
}

int CLibraryContext::CreateDevice(int workset, const char* iniFile, const char* parameters) {
  LoadIni(iniFile);

  // A missing main section is no error: the parameters alone may describe the
  // set. A dependency must have its section.
  const auto nodeOf = [&](const std::string& name, bool required) -> std::optional<boost::property_tree::ptree> {
    const auto* section = Configuration::FindSection(configuration_, "worksetnode_" + name);
    if (!section && required) return std::nullopt;
    auto node = section ? *section : boost::property_tree::ptree{};
    if (IsParameterText(parameters)) Configuration::ParseParameterString(node, parameters);
    return node;
  };
  const auto mainNode = *nodeOf(std::to_string(workset), false);

  DeviceSets sets{std::make_shared<CQuenlith_SDK_Lite>()};
  // Whatever did open is closed again unless the sets reach the table.
  struct ReleaseOnExit {
    DeviceSets& sets;
    ~ReleaseOnExit() { ReleaseQuietly(sets); }
  } releaseOnExit{sets};

  std::vector<std::string> dependencies;
  const auto names = mainNode.get<std::string>("dependencies", "");
  boost::split(dependencies, names, boost::is_any_of(" \t"), boost::token_compress_on);
  for (const auto& name : dependencies) {
    if (name.empty()) continue;
    const auto node = nodeOf(name, true);
    if (!node) return -1;
    auto dependency = std::make_shared<CQuenlith_SDK_Lite>();
    if (!dependency->Open(*node)) return -1;
    sets.push_back(std::move(dependency));
  }

  if (!sets.front()->Open(mainNode)) return -1;

  const int handle = FreeHandle();
  if (handle >= 0) handles_.emplace(handle, std::move(sets));
  return handle;
}

int CLibraryContext::FreeHandle() const {
  for (int handle = 0; handle < std::numeric_limits<int>::max(); ++handle)
    if (handles_.find(handle) == handles_.end()) return handle;
  return -1;
}

bool CLibraryContext::CloseDevice(int handle) {
  const auto entry = handles_.find(handle);
  if (entry == handles_.end()) return false;
  // Move the sets out first, so that a callback that reaches the table while
  // they are being closed finds the handle already gone.
  DeviceSets sets = std::move(entry->second);
  handles_.erase(entry);
  Release(sets);
  return true;
}

CLibraryContext::DeviceSets CLibraryContext::Find(int handle) const {
  const auto entry = handles_.find(handle);
  return entry == handles_.end() ? DeviceSets{} : entry->second;
}

std::shared_ptr<CQuenlith_SDK_Lite> CLibraryContext::FindMain(int handle) const {
  const auto entry = handles_.find(handle);
  return entry == handles_.end() || entry->second.empty() ? nullptr : entry->second.front();
}

namespace LibraryContext {

void Attach() {
  if (!g_context) g_context = new CLibraryContext();
}

void Detach() {
  // Calls from stream threads that are still being closed see no library.
  delete std::exchange(g_context, nullptr);
  Logging::Release();
}

CLibraryContext* Get() { return g_context; }

}  // namespace LibraryContext
