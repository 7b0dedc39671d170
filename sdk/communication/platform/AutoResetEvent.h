#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Communication::Native {

// Linux stand-in for a Windows auto-reset event: Set lets exactly one wait
// through (the one waiting, or the next to come) and clears itself as it does.
class AutoResetEvent {
 public:
  void Set();
  void Reset();
  // True when the event was set within the time-out; the wait clears it.
  bool WaitFor(std::chrono::milliseconds timeout);
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace Communication::Native
