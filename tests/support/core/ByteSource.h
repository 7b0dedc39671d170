#pragma once

// A transport that serves bytes from memory, for driving the hub protocol
// without a port. Read keeps the all-or-nothing rule of the real transports:
// when fewer bytes are waiting than asked for, those are consumed and lost and
// the read delivers nothing.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "communication/datainterface/DataInterface.h"

class ByteSource : public Communication::DataInterface::CDataInterface {
 public:
  using Bytes = std::vector<std::uint8_t>;
  // Called with every block written; may Feed the answer.
  using WriteHook = std::function<void(ByteSource&, const Bytes&)>;
  // Called when a read finds too little waiting; may Feed more.
  using IdleHook = std::function<void(ByteSource&)>;

  bool Open(const boost::property_tree::ptree&) override { return opened_ = true; }
  void Close() override { opened_ = false; }
  int Read(char* buffer, int length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (length <= 0) return 0;
    if (input_.size() < static_cast<std::size_t>(length) && onIdle_) onIdle_(*this);
    if (input_.size() < static_cast<std::size_t>(length)) {
      input_.clear();
      return 0;
    }
    std::copy_n(input_.begin(), length, buffer);
    input_.erase(input_.begin(), input_.begin() + length);
    return length;
  }
  int Write(const char* buffer, int length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const Bytes block(buffer, buffer + length);
    written_.push_back(block);
    if (onWrite_) onWrite_(*this, block);
    return length;
  }
  void Purge() override {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.clear();
  }

  // Called from hooks (under the lock) or before the source is in use.
  void Feed(const Bytes& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
  void OnWrite(WriteHook hook) { onWrite_ = std::move(hook); }
  void OnIdle(IdleHook hook) { onIdle_ = std::move(hook); }
  const std::vector<Bytes>& Written() const { return written_; }
  bool Exhausted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.empty();
  }
  bool Opened() const { return opened_; }

 private:
  std::mutex mutex_;
  std::deque<std::uint8_t> input_;
  std::vector<Bytes> written_;
  WriteHook onWrite_;
  IdleHook onIdle_;
  bool opened_ = false;
};
