#pragma once

// A raw pseudo-terminal standing in for a USB serial adapter: the library opens
// its slave as COM port N through <tty dir>/ttyUSB<N>; the test talks through
// the master. The test holds a slave descriptor too, so that the line outlives
// the library's closing and reopening of its port.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

class PseudoTerminal {
 public:
  PseudoTerminal(const std::filesystem::path& ttyDirectory, int comNumber);
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The port name as the tool spells it: \\.\COM<N>.
  std::string portName() const;
  void write(const std::string& bytes);
  // What the library wrote, until count bytes came or nothing came for `quiet`.
  std::string read(std::size_t count, std::chrono::milliseconds quiet = std::chrono::milliseconds(1000));
  // Everything the library wrote that is waiting now.
  std::string drain();
  // Bytes written by the test that the library has not read yet.
  std::size_t waiting() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  int comNumber_;
};
