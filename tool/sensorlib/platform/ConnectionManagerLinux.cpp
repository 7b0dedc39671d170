#include "platform/ConnectionManagerLinux.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ComPort.h"

namespace Lumeth::Core::SensorLibrary {

namespace {

namespace fs = std::filesystem;

fs::path sysfsRoot() {
  const char* root = std::getenv("QUENLITH_SYSFS_ROOT");
  return root && *root ? root : "/sys";
}

// The first line of a sysfs attribute file, if there is one.
std::optional<std::string> readAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

std::optional<std::uint32_t> readHexId(const fs::path& file) {
  const auto text = readAttribute(file);
  if (!text || text->empty() || text->size() > 4) return std::nullopt;
  std::uint32_t id = 0;
  for (const char c : *text) {
    const auto digit = std::string("0123456789abcdef").find(static_cast<char>(c | 0x20));
    if (digit == std::string::npos) return std::nullopt;
    id = id * 16 + static_cast<std::uint32_t>(digit);
  }
  return id;
}

// COM number of a tty named ttyUSB<N>.
std::optional<int> comNumber(const std::string& ttyName) {
  const std::string prefix = "ttyUSB";
  if (ttyName.rfind(prefix, 0) != 0 || ttyName.size() == prefix.size() || ttyName.size() > prefix.size() + 6)
    return std::nullopt;
  int number = 0;
  for (std::size_t i = prefix.size(); i < ttyName.size(); ++i) {
    if (ttyName[i] < '0' || ttyName[i] > '9') return std::nullopt;
    number = number * 10 + (ttyName[i] - '0');
  }
  return number;
}

struct UsbPort {
  int comNumber;
  std::uint32_t vendorId;
  std::uint32_t productId;
  std::string product;  // the adapter's product text, if it has one
};

// The kernel links a tty's "device" to the serial port, which sits below the
// interface and the USB device that holds idVendor and idProduct; the number
// of levels between them differs by driver, so walk up until they appear.
std::optional<UsbPort> usbPortOf(const fs::path& ttyEntry, int number, const fs::path& root) {
  std::error_code error;
  fs::path directory = fs::canonical(ttyEntry / "device", error);
  if (error) return std::nullopt;
  const fs::path top = fs::canonical(root, error);
  if (error) return std::nullopt;
  for (; directory != top && directory.has_relative_path(); directory = directory.parent_path()) {
    const auto vendor = readHexId(directory / "idVendor");
    const auto product = readHexId(directory / "idProduct");
    if (vendor && product) return UsbPort{number, *vendor, *product, readAttribute(directory / "product").value_or("")};
  }
  return std::nullopt;
}

}  // namespace

bool CConnectionManagerLinux::enumerate() {
  const fs::path root = sysfsRoot();
  const fs::path ttys = root / "class" / "tty";
  std::error_code error;
  fs::directory_iterator it(ttys, error);
  if (error) return false;

  std::vector<UsbPort> ports;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return false;
    const auto number = comNumber(it->path().filename().string());
    if (!number) continue;
    if (auto port = usbPortOf(it->path(), *number, root)) ports.push_back(std::move(*port));
  }
  // Two adapters of one kind fill one entry; in COM order the last one wins,
  // whatever order the directory lists them in.
  std::sort(ports.begin(), ports.end(),
            [](const UsbPort& a, const UsbPort& b) { return a.comNumber < b.comNumber; });

  for (const auto& port : ports) {
    for (auto& [name, entry] : entries()) {
      if (entry.vendorId != port.vendorId || entry.productId != port.productId) continue;
      const std::string tty = "ttyUSB" + std::to_string(port.comNumber);
      entry.found = true;
      entry.comNumber = port.comNumber;
      entry.friendlyName = (port.product.empty() ? "USB Serial Port" : port.product) + " (" + tty + ")";
      entry.portName = ::Platform::ComPortPath(std::to_string(port.comNumber));
      break;
    }
  }
  return true;
}

}  // namespace Lumeth::Core::SensorLibrary
