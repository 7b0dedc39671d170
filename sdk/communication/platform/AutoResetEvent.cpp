// Linux: a flag under a mutex with a condition variable, where Windows has
// CreateEvent with automatic reset, SetEvent, ResetEvent and WaitForSingleObject.

#include "communication/platform/AutoResetEvent.h"

namespace Communication::Native {

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  changed_.notify_one();
}

void AutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return set_; })) return false;
  set_ = false;
  return true;
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return set_; });
  set_ = false;
}

}  // namespace Communication::Native
