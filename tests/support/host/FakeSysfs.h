#pragma once

// A sysfs tree shaped as the kernel shapes it, for adapter discovery to walk:
//   class/tty/ttyUSB<N> -> ../../devices/.../usb1/1-<k>/1-<k>:1.0/ttyUSB<N>/tty/ttyUSB<N>
//   .../tty/ttyUSB<N>/device -> ../../../ttyUSB<N>   (the port)
//   .../usb1/1-<k>/idVendor, idProduct, product       (the USB device)
// Beside the adapters stand a built-in serial port (ttyS0) and devices that
// must be ignored.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct FakeUsbTty {
  std::string ttyName;  // "ttyUSB<N>", or another tty name
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::string product;  // the adapter's product text; empty: none
};

constexpr std::uint16_t kFtdiVendor = 0x0403;
constexpr std::uint16_t kQuenlithProduct = 0x6001;
constexpr std::uint16_t kTorvelProduct = 0x7B6A;
constexpr std::uint16_t kMarvessaProduct = 0x7B6B;

// Lays the tree out under `root` (created if needed), with the given USB ttys
// and, when `bystanders` is set, a ttyS0, a ttyUSB of another vendor, a ttyACM
// and an adapter chip without a tty.
void MakeFakeSysfs(const std::filesystem::path& root, const std::vector<FakeUsbTty>& ttys, bool bystanders = true);
