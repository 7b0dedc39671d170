#pragma once

#include <cstddef>

#include "SdkLibrary.h"

// A host that closes a streaming set from inside the set's own receive
// callback, on the first frame, as a host may.
struct SelfClosing {
  bool closed = false;     // the callback ran and its CloseDevice succeeded
  int calls = 0;           // how often the callback ran in all
  std::size_t threads = 0;  // the process's threads once the closing settled
};

// Registers the closing callback on `handle` and waits (boundedly) until the
// process is back to `threadsBefore` threads.
SelfClosing CloseFromOwnCallback(SdkLibrary& sdk, int handle, std::size_t threadsBefore);

std::size_t ProcessThreads();
