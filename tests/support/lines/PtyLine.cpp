#include "lines/PtyLine.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace SimLine {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

PtyLine::~PtyLine() { Close(); }

void PtyLine::Open(const std::filesystem::path& link) {
  Close();
  link_ = link;
  OpenMaster();
  PointLink();
}

void PtyLine::OpenMaster() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) Fail("posix_openpt");
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    Fail("pty set-up");
  }
  // Raw on both ends: the line discipline must neither echo the client's
  // bytes back nor translate any of them. The setting survives the client
  // closing and reopening its end.
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  master_ = fd;
  slave_ = name;
}

void PtyLine::PointLink() const {
  // A new link renamed over the old one, so that the client never finds the
  // name missing while the line is replugged.
  const std::filesystem::path temporary = link_.string() + ".new";
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  std::filesystem::create_symlink(slave_, temporary);
  std::filesystem::rename(temporary, link_);
}

void PtyLine::Replug() {
  // The new line is behind the name before the old one goes, so a client that
  // sees the hang-up and reopens at once finds the new one.
  const int old = master_;
  OpenMaster();
  PointLink();
  if (old >= 0) ::close(old);
}

void PtyLine::Close() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
  if (!link_.empty()) {
    std::error_code ignored;
    // Only our own link: another device may have taken the name since.
    if (std::filesystem::is_symlink(link_, ignored) && std::filesystem::read_symlink(link_, ignored) == slave_)
      std::filesystem::remove(link_, ignored);
    link_.clear();
  }
}

void PtyLine::DiscardOutput() const {
  if (master_ >= 0) tcflush(master_, TCOFLUSH);
}

}  // namespace SimLine
