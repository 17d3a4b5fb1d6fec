#include "platform/clock.h"

#include <ctime>
#include <thread>

namespace qb {

void SystemClock::Sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

SimulatedClock::SimulatedClock(WallTime start) : wall_(start) {}

Clock::WallTime SimulatedClock::Now() const {
  std::lock_guard lock(mutex_);
  return wall_;
}

Clock::Monotonic SimulatedClock::MonotonicNow() const {
  std::lock_guard lock(mutex_);
  return mono_;
}

void SimulatedClock::Advance(std::chrono::milliseconds duration) {
  std::lock_guard lock(mutex_);
  wall_ += duration;
  mono_ += duration;
}

void SimulatedClock::SetWallTime(WallTime when) {
  std::lock_guard lock(mutex_);
  wall_ = when;
}

double SecondsSinceMidnight(Clock::WallTime when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  const auto whole = std::chrono::system_clock::from_time_t(t);
  double fraction = std::chrono::duration<double>(when - whole).count();
  if (fraction < 0) fraction = 0;  // to_time_t may round up on some libraries
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction;
}

}  // namespace qb
