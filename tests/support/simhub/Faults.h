#pragma once

// Wire faults waiting to be applied to the frames the hub sends.

#include <array>
#include <deque>
#include <string>

#include "simhub/SimulatedHub.h"

namespace SimHub {

// What goes on the wire for one frame.
struct Outgoing {
  Bytes bytes;
  bool dropLineAfter = false;  // the line drops once these bytes are out
};

// Whether a fault waits for flash requests rather than for frames.
bool IsFlashFault(Fault fault);
// Of those, whether it waits for a flash write.
bool IsFlashWriteFault(Fault fault);

// Rewrites one frame by one fault.
Outgoing ApplyFault(Fault fault, const Bytes& frame);

class FaultQueue {
 public:
  void Add(Fault fault, int count);
  void Clear() { pending_.clear(); }
  // Takes the fault for the next frame sent (None when there is none).
  Fault Take();

 private:
  struct Entry {
    Fault fault;
    int remaining;
  };
  std::deque<Entry> pending_;
};

}  // namespace SimHub
