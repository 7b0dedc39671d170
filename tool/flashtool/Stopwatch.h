#pragma once

#include <cstdint>

#include <boost/chrono/process_cpu_clocks.hpp>
#include <boost/chrono/system_clocks.hpp>

// Wall, user and system time of this process since the last start, in
// nanoseconds. Started on construction; stop() freezes the reading.
class Stopwatch {
 public:
  struct Times {
    std::int64_t wall = 0;    // (ns) steady clock
    std::int64_t user = 0;    // (ns) process user time
    std::int64_t system = 0;  // (ns) process system time
  };

  Stopwatch();
  void start();
  void stop();
  Times elapsed() const;

 private:
  static Times now();

  Times startTimes;
  Times stopTimes;
  bool stopped = false;
};
