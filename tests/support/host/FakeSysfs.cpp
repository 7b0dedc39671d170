#include "FakeSysfs.h"

#include <cstdio>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void WriteAttribute(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text << "\n";
}

std::string Hex4(std::uint16_t id) {
  char text[5];
  std::snprintf(text, sizeof text, "%04x", id);
  return text;
}

// One USB device on port k with one interface and, if named, its tty.
void AddUsbDevice(const fs::path& root, int port, std::uint16_t vendor, std::uint16_t product,
                  const std::string& productText, const std::string& ttyName) {
  const std::string device = "1-" + std::to_string(port);
  const fs::path usb = root / "devices/pci0000:00/0000:00:14.0/usb1" / device;
  fs::create_directories(usb);
  WriteAttribute(usb / "idVendor", Hex4(vendor));
  WriteAttribute(usb / "idProduct", Hex4(product));
  if (!productText.empty()) WriteAttribute(usb / "product", productText);
  const fs::path interface = usb / (device + ":1.0");
  fs::create_directories(interface);
  WriteAttribute(interface / "bInterfaceClass", "ff");
  if (ttyName.empty()) return;

  const fs::path tty = interface / ttyName / "tty" / ttyName;
  fs::create_directories(tty);
  WriteAttribute(tty / "dev", "188:0");
  fs::create_directory_symlink("../../../" + ttyName, tty / "device");
  fs::create_directories(root / "class/tty");
  fs::create_directory_symlink(fs::path("../..") / fs::relative(tty, root), root / "class/tty" / ttyName);
}

}  // namespace

void MakeFakeSysfs(const fs::path& root, const std::vector<FakeUsbTty>& ttys, bool bystanders) {
  fs::create_directories(root / "class/tty");
  int port = 1;
  for (const auto& tty : ttys) AddUsbDevice(root, port++, tty.vendorId, tty.productId, tty.product, tty.ttyName);
  if (!bystanders) return;

  // The built-in serial port: no USB device above it.
  const fs::path serial = root / "devices/platform/serial8250";
  fs::create_directories(serial / "tty/ttyS0");
  fs::create_directory_symlink("../../../serial8250", serial / "tty/ttyS0/device");
  fs::create_directory_symlink("../../devices/platform/serial8250/tty/ttyS0", root / "class/tty/ttyS0");

  AddUsbDevice(root, 10, 0x067B, 0x2303, "USB-Serial Controller", "ttyUSB9");          // another vendor
  AddUsbDevice(root, 11, kFtdiVendor, kQuenlithProduct, "FT232R USB UART", "ttyACM0");  // no COM number
  AddUsbDevice(root, 12, kFtdiVendor, kTorvelProduct, "", "");                           // no tty bound
}
