#include "common/Log.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include <boost/log/core/core.hpp>
#include <boost/log/expressions.hpp>

namespace Logging {

namespace {
std::atomic<Logger*> g_logger{nullptr};
std::atomic<bool> g_released{false};
std::mutex g_loggerMutex;
}  // namespace

Logger* Active() {
  if (auto* logger = g_logger.load(std::memory_order_acquire)) return logger;
  std::lock_guard<std::mutex> lock(g_loggerMutex);
  if (g_released.load(std::memory_order_relaxed)) return nullptr;
  if (!g_logger.load(std::memory_order_relaxed)) g_logger.store(new Logger(), std::memory_order_release);
  return g_logger.load(std::memory_order_relaxed);
}

void Release() {
  std::lock_guard<std::mutex> lock(g_loggerMutex);
  g_released.store(true, std::memory_order_relaxed);
  delete g_logger.exchange(nullptr);
}

void SetLevel(int level) {
  // Clamped so that the comparison stays inside the severity enumeration: below
  // trace passes everything, above fatal passes nothing.
  const int clamped =
      std::clamp(level, static_cast<int>(Severity::trace), static_cast<int>(Severity::fatal) + 1);
  boost::log::core::get()->set_filter(boost::log::trivial::severity >= static_cast<Severity>(clamped));
}

}  // namespace Logging
