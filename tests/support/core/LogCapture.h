#pragma once

#include <string>
#include <vector>

#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

// Collects the SDK's log records as "<severity> message" while it lives, and
// passes every severity for that time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;
  bool Contains(const std::string& line) const;
  // How many records hold the text anywhere.
  std::size_t Count(const std::string& text) const;

 private:
  class Backend;
  boost::shared_ptr<boost::log::sinks::synchronous_sink<Backend>> sink_;
};
