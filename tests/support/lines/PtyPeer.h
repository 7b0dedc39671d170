#pragma once

// The far end of a serial line, for the code under test to open as COM port N:
// a raw pseudo-terminal whose slave is linked as <tty dir>/ttyUSB<N>, while the
// test reads and writes its master. The peer holds the slave open as well, so
// that the line outlives the code's closing and reopening of its port.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

class PtyPeer {
 public:
  PtyPeer(const std::filesystem::path& ttyDirectory, int comNumber);
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  // The port name as the tool spells it: \\.\COM<N>.
  std::string PortName() const;
  void Write(const std::string& bytes);
  // What the code under test wrote, until count bytes came or nothing came for `quiet`.
  std::string Read(std::size_t count, std::chrono::milliseconds quiet = std::chrono::seconds(1));
  // Everything the code under test wrote that is waiting now.
  std::string Drain();
  // Bytes written by the test that the code under test has not read yet.
  std::size_t Waiting() const;
  // Whether at least count bytes wait unread within `limit`.
  bool WaitUntilWaiting(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  // Closes the master: the code under test finds the line hung up.
  void HangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  int comNumber_;
};
