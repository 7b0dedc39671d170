#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

PseudoTerminal::PseudoTerminal(const std::filesystem::path& ttyDirectory, int comNumber) : comNumber_(comNumber) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) fail("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) fail("grantpt");
  const std::string slaveName = ptsname(master_);
  slave_ = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) fail("open slave");
  // Raw from the start: no echo of what the test writes before the library opens the line.
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(slave_, TCSANOW, &settings) != 0) fail("tcsetattr");
  const auto link = ttyDirectory / ("ttyUSB" + std::to_string(comNumber));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(slaveName, link);
}

PseudoTerminal::~PseudoTerminal() {
  ::close(slave_);
  ::close(master_);
}

std::string PseudoTerminal::portName() const { return "\\\\.\\COM" + std::to_string(comNumber_); }

void PseudoTerminal::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    done += static_cast<std::size_t>(written);
  }
}

std::string PseudoTerminal::read(std::size_t count, std::chrono::milliseconds quiet) {
  std::string bytes;
  while (bytes.size() < count) {
    pollfd descriptor{master_, POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(quiet.count()));
    if (ready <= 0) break;
    char chunk[4096];
    const ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

std::string PseudoTerminal::drain() { return read(static_cast<std::size_t>(-1), std::chrono::milliseconds(0)); }

std::size_t PseudoTerminal::waiting() const {
  int count = 0;
  if (::ioctl(slave_, FIONREAD, &count) != 0) fail("FIONREAD");
  return static_cast<std::size_t>(count);
}
