#pragma once

// A simulated device's end of a pseudo-terminal, reached by the client
// through a symlink named like a USB serial adapter's tty.

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace SimLine {

class PtyLine {
 public:
  PtyLine() = default;
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // Opens a raw, non-blocking pty and points `link` at its client end.
  void Open(const std::filesystem::path& link);
  // Closes the pty under the client and puts a fresh one behind the link.
  void Replug();
  // Closes the pty and removes the link.
  void Close();

  int Fd() const { return master_; }
  const std::filesystem::path& Link() const { return link_; }
  // Discards what was written but not yet read by the client. Only this
  // direction: the client may already have reopened and sent a request.
  void DiscardOutput() const;

 private:
  void OpenMaster();
  void PointLink() const;

  int master_ = -1;
  std::filesystem::path link_;
  std::filesystem::path slave_;
};

}  // namespace SimLine
