#include "PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

PtyPeer::PtyPeer(const std::filesystem::path& ttyDirectory, int comNumber) : comNumber_(comNumber) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) Fail("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) Fail("grantpt");
  const std::string slaveName = ptsname(master_);
  slave_ = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) Fail("open slave");
  // Raw from the start: no echo of what the test writes before the code under test opens the line.
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) Fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(slave_, TCSANOW, &settings) != 0) Fail("tcsetattr");
  const auto link = ttyDirectory / ("ttyUSB" + std::to_string(comNumber));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(slaveName, link);
}

PtyPeer::~PtyPeer() {
  HangUp();
  ::close(slave_);
}

std::string PtyPeer::PortName() const { return "\\\\.\\COM" + std::to_string(comNumber_); }

void PtyPeer::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail("write");
    }
    done += static_cast<std::size_t>(written);
  }
}

std::string PtyPeer::Read(std::size_t count, std::chrono::milliseconds quiet) {
  std::string bytes;
  while (bytes.size() < count) {
    pollfd descriptor{master_, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(quiet.count())) <= 0) break;
    char chunk[4096];
    const ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

std::string PtyPeer::Drain() { return Read(static_cast<std::size_t>(-1), std::chrono::milliseconds(0)); }

std::size_t PtyPeer::Waiting() const {
  int count = 0;
  if (::ioctl(slave_, FIONREAD, &count) != 0) Fail("FIONREAD");
  return static_cast<std::size_t>(count);
}

bool PtyPeer::WaitUntilWaiting(std::size_t count, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Waiting() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void PtyPeer::HangUp() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}
