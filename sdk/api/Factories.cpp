#include "api/Factories.h"

#include <array>
#include <string_view>

#include "api/QuenlithSdkLite.h"
#include "communication/datainterface/Serial.h"
#include "communication/datainterface/network/Tcp.h"
#include "communication/datainterface/network/Udp.h"
#include "communication/memsense/Memsens.h"
#include "communication/qn/BsMain.h"
#include "communication/qn/Cu.h"
#include "communication/qn/Dongle.h"
#include "communication/qn/Dummy.h"
#include "communication/qn/Hub.h"
#include "communication/qn/Identifier.h"
#include "communication/qn/QnSdk.h"
#include "communication/qn/Stream.h"
#include "communication/vectornav/Vn.h"
#include "processing/manager/MemsenseManager.h"
#include "processing/manager/QnManager.h"
#include "processing/manager/SdkManager.h"
#include "processing/manager/VnManager.h"

namespace {

using Transport = std::shared_ptr<Communication::DataInterface::CDataInterface>;
using Hub = std::shared_ptr<Communication::Device::CHub>;
using Manager = std::shared_ptr<Processing::CProcessing>;

bool Contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

struct TransportRow {
  std::string_view word;
  Transport (*make)();
};

template <class TransportClass>
Transport MakeTransport() {
  return std::make_shared<TransportClass>();
}

constexpr std::array<TransportRow, 2> kTransports{{
    {"tcp", &MakeTransport<Communication::DataInterface::Network::CTcp>},
    {"udp", &MakeTransport<Communication::DataInterface::Network::CUdp>},
}};

// Anything else talks over a serial port.
constexpr Transport (*kDefaultTransport)() = &MakeTransport<Communication::DataInterface::CSerial>;

Hub MakeVectorNav() { return std::make_shared<Communication::Device::CVn>("vn"); }
Hub MakeMemsense() { return std::make_shared<Communication::Device::CMemsens>("memsense"); }
Hub MakeBsMain() { return std::make_shared<Communication::Device::QN::CBsMain>(nullptr, "BSmain"); }
Hub MakeBsMainById(const std::string& id) { return std::make_shared<Communication::Device::QN::CBsMain>(nullptr, id); }
Hub MakeCu() { return std::make_shared<Communication::Device::QN::CCu>(nullptr, "USB_CU"); }
Hub MakeCuById(const std::string& id) { return std::make_shared<Communication::Device::QN::CCu>(nullptr, id); }
// A dongle reports its sensor's identity, which says nothing of the hub.
Hub MakeDongle() { return std::make_shared<Communication::Device::QN::CDongle>(nullptr, "USB_Dongle"); }
Hub MakeDongleById(const std::string&) { return MakeDongle(); }
Hub MakeStream() { return std::make_shared<Communication::Device::QN::CStream>(nullptr, "Stream"); }
Hub MakeEmulator() { return std::make_shared<Communication::Device::QN::CDummy>(nullptr, "Emulator"); }
Hub MakeQnSdk() { return std::make_shared<Communication::Device::QN::CQnSdk>(nullptr, "QNSDK"); }

struct DeviceRow {
  std::string_view word;
  Hub (*make)();
};

constexpr std::array<DeviceRow, 8> kDevicesByName{{
    {"vectornav", MakeVectorNav},
    {"memsense", MakeMemsense},
    {"stream", MakeStream},
    {"usbcu", MakeCu},
    {"dongle", MakeDongle},
    {"bsmain", MakeBsMain},
    {"emulator", MakeEmulator},
    {"sdk", MakeQnSdk},
}};

struct IdRow {
  std::array<std::string_view, 2> needles;
  Hub (*make)(const std::string& id);
};

constexpr std::array<IdRow, 3> kDevicesById{{
    {{"USB_CU", "mCU"}, MakeCuById},
    {{"DKv", ""}, MakeDongleById},
    {{"BSmain", ""}, MakeBsMainById},
}};

struct ManagerRow {
  std::string_view word;
  Manager (*make)(const Hub& device);
};

template <class ManagerClass>
Manager MakeManager(const Hub& device) {
  return std::make_shared<ManagerClass>(device);
}

constexpr std::array<ManagerRow, 3> kManagersByName{{
    {"vectornav", &MakeManager<Processing::Manager::CVnManager>},
    {"memsense", &MakeManager<Processing::Manager::CMemsenseManager>},
    {"sdk", &MakeManager<Processing::Manager::QN::CSdkManager>},
}};

Manager MakeHubManager(const Hub& device, const boost::property_tree::ptree& parameters) {
  return std::make_shared<Processing::Manager::QN::CManager>(device, parameters);
}

// The maker's hubs are served by one manager built on the set's parameters.
constexpr Manager (*kHubManager)(const Hub& device, const boost::property_tree::ptree& parameters) = &MakeHubManager;

}  // namespace

Transport CreateDataInterface(const std::string& words) {
  for (const auto& row : kTransports)
    if (Contains(words, row.word)) return row.make();
  return kDefaultTransport();
}

Hub CreateDeviceByName(const std::string& words) {
  for (const auto& row : kDevicesByName)
    if (Contains(words, row.word)) return row.make ? row.make() : nullptr;
  return nullptr;
}

Hub CreateDeviceById(const std::string& id) {
  for (const auto& row : kDevicesById)
    for (const auto needle : row.needles)
      if (!needle.empty() && Contains(id, needle)) return row.make ? row.make(id) : nullptr;
  return nullptr;
}

std::optional<std::string> IdentifyHub(const Transport& transport, const boost::property_tree::ptree& parameters) {
  if (!transport) return std::nullopt;
  // Destroying the identifier closes the transport, which the chosen hub opens anew.
  const auto identifier = std::make_shared<Communication::Device::QN::CIdentifier>(transport);
  if (!identifier->Open(parameters)) return std::nullopt;
  return identifier->GetId();
}

Manager CreateProcessingManager(CQuenlith_SDK_Lite& set, const std::string& words, const Hub& device) {
  for (const auto& row : kManagersByName)
    if (Contains(words, row.word)) return row.make ? row.make(device) : nullptr;
  if (!std::dynamic_pointer_cast<Communication::Device::QN::CHub>(device)) return nullptr;
  if (Contains(words, "emulator")) set.GetParameters().put("disablecalibration", 1);
  return kHubManager(device, set.GetParameters());
}
