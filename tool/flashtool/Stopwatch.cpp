#include "Stopwatch.h"

namespace {

template <typename Duration>
std::int64_t nanoseconds(Duration duration) {
  return boost::chrono::duration_cast<boost::chrono::nanoseconds>(duration).count();
}

}  // namespace

Stopwatch::Stopwatch() { start(); }

void Stopwatch::start() {
  stopped = false;
  startTimes = now();
}

void Stopwatch::stop() {
  if (stopped) return;
  stopTimes = now();
  stopped = true;
}

Stopwatch::Times Stopwatch::elapsed() const {
  const Times end = stopped ? stopTimes : now();
  return {end.wall - startTimes.wall, end.user - startTimes.user, end.system - startTimes.system};
}

Stopwatch::Times Stopwatch::now() {
  const auto process = boost::chrono::process_cpu_clock::now().time_since_epoch().count();
  return {nanoseconds(boost::chrono::steady_clock::now().time_since_epoch()),
          nanoseconds(boost::chrono::process_user_cpu_clock::duration(process.user)),
          nanoseconds(boost::chrono::process_system_cpu_clock::duration(process.system))};
}
