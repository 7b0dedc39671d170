#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// A fuzzer's bytes taken value by value from the front; bytes past the end
// read as zero, so a short input still yields every value.
struct FuzzInput {
  const std::uint8_t* data;
  std::size_t size;

  template <typename T>
  T take() {
    T value{};
    const std::size_t n = std::min(size, sizeof(T));
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
  }
};
