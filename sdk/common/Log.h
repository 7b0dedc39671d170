#pragma once

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/manipulators/dump.hpp>

namespace Logging {

using Severity = boost::log::trivial::severity_level;
using Logger = boost::log::sources::severity_logger_mt<Severity>;

// The one process-wide logger, made on first use; null once the library has
// let go of its log. It is no static object, so that it lives as long as the
// library's own clean-up needs it.
Logger* Active();
// Destroys the logger once nothing logs any more. Records made afterwards are
// dropped: with the library's sink gone, the logging core would hand them to
// its default sink, which prints on the host's standard output.
void Release();

// Passes records of the given severity and above; everything else, and records
// without a severity, is dropped.
void SetLevel(int level);

}  // namespace Logging

#define QLOG(severity)                                                                      \
  for (::Logging::Logger* qlogLogger = ::Logging::Active(); qlogLogger; qlogLogger = nullptr) \
  BOOST_LOG_SEV(*qlogLogger, ::boost::log::trivial::severity)
