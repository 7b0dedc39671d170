# Lays out a sysfs tree under $1 shaped as the kernel shapes it, with one
# Quenlith USB serial adapter (USB 0403:6001) whose tty is ttyUSB$2, beside a
# built-in serial port that the tool must pass over. Sourced by scripts/demo.
make_fake_sysfs() {
  local root=$1 com=$2
  local usb=$root/devices/pci0000:00/0000:00:14.0/usb1/1-1
  local tty=$usb/1-1:1.0/ttyUSB$com/tty/ttyUSB$com
  mkdir -p "$tty" "$root/class/tty" "$root/devices/platform/serial8250/tty/ttyS0"
  echo 0403 >"$usb/idVendor"
  echo 6001 >"$usb/idProduct"
  echo "FT232R USB UART" >"$usb/product"
  ln -s "../../../ttyUSB$com" "$tty/device"
  ln -s "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB$com/tty/ttyUSB$com" "$root/class/tty/ttyUSB$com"
  ln -s ../../../serial8250 "$root/devices/platform/serial8250/tty/ttyS0/device"
  ln -s ../../devices/platform/serial8250/tty/ttyS0 "$root/class/tty/ttyS0"
}
