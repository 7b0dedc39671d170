#pragma once

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/manipulators/dump.hpp>

namespace Logging {

using Severity = boost::log::trivial::severity_level;
using Logger = boost::log::sources::severity_logger_mt<Severity>;

// The one process-wide logger, made on first use. It is no static object:
// device sets are still closed (and may still log) from the library's unload
// hook, which on process exit runs after every static object is gone.
Logger& Get();
// Destroys the logger once nothing logs any more; the next Get makes a new one.
void Release();

// Passes records of the given severity and above; everything else, and records
// without a severity, is dropped.
void SetLevel(int level);

}  // namespace Logging

#define QLOG(severity) BOOST_LOG_SEV(::Logging::Get(), ::boost::log::trivial::severity)
