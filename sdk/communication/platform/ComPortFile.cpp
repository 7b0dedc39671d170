// Linux: the tty is opened and set up through termios, where Windows has
// CreateFile on "\\.\COMn", SetCommState and SetCommTimeouts. The time-outs
// become poll limits on a non-blocking descriptor.

#include "communication/platform/ComPortFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "platform/ComPort.h"

namespace Communication::Native {

namespace {

struct BaudRate {
  unsigned rate;
  speed_t code;
};

// termios takes rates only as these codes.
constexpr std::array<BaudRate, 22> kBaudRates{{
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

constexpr int kReadWaitMs = 1;
constexpr auto kWritePerByte = std::chrono::milliseconds(3);
constexpr auto kWriteExtra = std::chrono::milliseconds(2);

std::error_code LastError() { return {errno, std::generic_category()}; }

}  // namespace

ComPortFile::~ComPortFile() { Close(); }

std::error_code ComPortFile::Open(const std::string& portName, unsigned baudRate) {
  if (IsOpen()) return std::make_error_code(std::errc::device_or_resource_busy);
  const BaudRate* rate = nullptr;
  for (const auto& row : kBaudRates)
    if (row.rate == baudRate) rate = &row;
  if (!rate) return std::make_error_code(std::errc::invalid_argument);

  const int fd = ::open(::Platform::ComPortDevicePath(portName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return LastError();

  termios settings{};
  // Exclusive, as the port is opened without sharing.
  if (::ioctl(fd, TIOCEXCL) != 0 || ::tcgetattr(fd, &settings) != 0) {
    const auto error = LastError();
    ::close(fd);
    return error;
  }
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  if (::cfsetispeed(&settings, rate->code) != 0 || ::cfsetospeed(&settings, rate->code) != 0 ||
      ::tcsetattr(fd, TCSANOW, &settings) != 0) {
    const auto error = LastError();
    ::close(fd);
    return error;
  }
  fd_ = fd;
  return {};
}

void ComPortFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

std::size_t ComPortFile::Read(std::uint8_t* buffer, std::size_t capacity) {
  if (fd_ < 0 || capacity == 0) return 0;
  pollfd poller{fd_, POLLIN, 0};
  if (::poll(&poller, 1, kReadWaitMs) <= 0 || !(poller.revents & POLLIN)) return 0;
  const ssize_t count = ::read(fd_, buffer, capacity);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

std::error_code ComPortFile::Write(const char* data, std::size_t length) {
  if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + kWritePerByte * static_cast<int>(length) + kWriteExtra;
  std::size_t written = 0;
  while (written < length) {
    const ssize_t count = ::write(fd_, data + written, length - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) return LastError();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::make_error_code(std::errc::timed_out);
    pollfd poller{fd_, POLLOUT, 0};
    ::poll(&poller, 1, static_cast<int>(left));
  }
  return {};
}

}  // namespace Communication::Native
