#pragma once

#include <chrono>
#include <mutex>

namespace qb {

// All time the plug-in sees comes through a Clock, so tests can run simulated hours at once.
class Clock {
 public:
  using WallTime = std::chrono::system_clock::time_point;
  using Monotonic = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual WallTime Now() const = 0;
  // Never jumps backwards; timers are scheduled on it.
  virtual Monotonic MonotonicNow() const = 0;
  // Blocks the calling thread (a simulated clock just moves on).
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

class SystemClock : public Clock {
 public:
  WallTime Now() const override { return std::chrono::system_clock::now(); }
  Monotonic MonotonicNow() const override { return std::chrono::steady_clock::now(); }
  void Sleep(std::chrono::milliseconds duration) override;
};

// A clock that moves only when told to. Thread-safe.
class SimulatedClock : public Clock {
 public:
  explicit SimulatedClock(WallTime start = WallTime{std::chrono::hours(24 * 365 * 50)});
  WallTime Now() const override;
  Monotonic MonotonicNow() const override;
  void Sleep(std::chrono::milliseconds duration) override { Advance(duration); }
  void Advance(std::chrono::milliseconds duration);
  // Moves the wall time only (as when the system time is set); monotonic time is unaffected.
  void SetWallTime(WallTime when);

 private:
  mutable std::mutex mutex_;
  WallTime wall_;
  Monotonic mono_{};
};

// Seconds since local midnight, with the fraction, as the poll scheduler counts time.
double SecondsSinceMidnight(Clock::WallTime when);

}  // namespace qb
