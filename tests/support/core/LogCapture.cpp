#include "LogCapture.h"

#include <algorithm>

#include <boost/log/core/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>

class LogCapture::Backend : public boost::log::sinks::basic_formatted_sink_backend<char> {
 public:
  // Called under the sink's lock, which locked_backend() takes as well.
  void consume(const boost::log::record_view&, const std::string& line) { lines.push_back(line); }

  std::vector<std::string> lines;
};

LogCapture::LogCapture() {
  namespace expr = boost::log::expressions;
  sink_ = boost::make_shared<boost::log::sinks::synchronous_sink<Backend>>();
  sink_->set_formatter(expr::stream << "<" << boost::log::trivial::severity << "> " << expr::smessage);
  boost::log::core::get()->reset_filter();
  boost::log::core::get()->add_sink(sink_);
}

LogCapture::~LogCapture() { boost::log::core::get()->remove_sink(sink_); }

std::vector<std::string> LogCapture::Lines() const {
  return sink_->locked_backend()->lines;
}

bool LogCapture::Contains(const std::string& line) const {
  const auto lines = Lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::size_t LogCapture::Count(const std::string& text) const {
  const auto lines = Lines();
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}
