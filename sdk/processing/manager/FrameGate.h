#pragma once

#include <mutex>

namespace Processing::Manager {

// Keeps a manager's frames apart from its host's configuration and commands.
// The host side waits for the frame in progress; the frame side never waits:
// while the host holds the gate, frames are skipped. A host command may stop
// and join the very stream thread that processes frames (a flash write does),
// so a frame that waited for the host would never finish.
class CFrameGate {
 public:
  std::unique_lock<std::mutex> ForHost() { return std::unique_lock<std::mutex>(mutex_); }
  // Not owning the lock means: skip this frame.
  std::unique_lock<std::mutex> ForFrame() { return std::unique_lock<std::mutex>(mutex_, std::try_to_lock); }

 private:
  std::mutex mutex_;
};

}  // namespace Processing::Manager
