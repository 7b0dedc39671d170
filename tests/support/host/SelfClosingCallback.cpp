#include "SelfClosingCallback.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

std::size_t ProcessThreads() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

SelfClosing CloseFromOwnCallback(SdkLibrary& sdk, int handle, std::size_t threadsBefore) {
  struct Closer {
    SdkLibrary* sdk;
    int handle;
    std::atomic<int> calls{0};
    std::atomic<bool> closed{false};
  } closer{&sdk, handle};
  const bool registered = sdk.SetReceiveDataCallback(
      handle,
      [](void*, void* user) {
        auto& self = *static_cast<Closer*>(user);
        ++self.calls;
        if (!self.closed.load() && self.sdk->CloseDevice(self.handle)) self.closed = true;
      },
      &closer);
  if (!registered) return {};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ProcessThreads() != threadsBefore && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return {closer.closed.load(), closer.calls.load(), ProcessThreads()};
}
