#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace Communication::DataInterface::Network {

// The bytes of a received chunk that the Read which asked for it did not
// need, kept for the next Reads. A chunk is received only once everything
// before it has been taken, so what is held is always one run from the
// start of a chunk and never wraps.
class ReceiveBuffer {
 public:
  static constexpr std::size_t kCapacity = 65536;  // bytes; the largest chunk one receive takes

  ReceiveBuffer() : bytes_(std::make_unique<char[]>(kCapacity)) {}

  std::size_t Count() const { return end_ - begin_; }

  // Moves up to `count` held bytes to `out`; returns how many.
  std::size_t Take(char* out, std::size_t count) {
    const std::size_t taken = std::min(count, Count());
    std::memcpy(out, bytes_.get() + begin_, taken);
    begin_ += taken;
    return taken;
  }

  // Where a chunk is received: the whole storage, so call it only when
  // Count() is 0 (anything still held would be overwritten).
  char* Space() { return bytes_.get(); }
  // The chunk just received into Space() is `count` bytes long.
  void Filled(std::size_t count) {
    begin_ = 0;
    end_ = std::min(count, kCapacity);
  }
  void Clear() { begin_ = end_ = 0; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace Communication::DataInterface::Network
