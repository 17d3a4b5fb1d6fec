#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace qb {

// Failed web logins counted per client address. After a handful in a minute the address must
// wait before it may try again, longer each time it comes back to guessing; other addresses are
// not slowed. Safe to use from several threads.
class LoginThrottle {
 public:
  static constexpr int kFailuresAllowed = 5;  // within kWindow
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr std::chrono::seconds kFirstWait{30};
  static constexpr std::chrono::seconds kLongestWait{15 * 60};
  // An address that fails no login for this long starts afresh.
  static constexpr std::chrono::seconds kForget{60 * 60};
  static constexpr size_t kMaxAddresses = 10000;

  explicit LoginThrottle(const Clock& clock) : clock_(clock) {}

  // Whole seconds `address` must still wait, when it must.
  std::optional<long> Wait(const std::string& address);
  // Counts a failed login; returns the log line when this failure makes the address wait (once
  // per episode).
  std::optional<std::string> Failed(const std::string& address, const std::string& user);
  // A correct login: the address's failures so far are forgiven (not its earlier waits).
  void Succeeded(const std::string& address);

 private:
  struct Entry {
    int failures = 0;  // within the window that began at window_start
    Clock::Monotonic window_start{};
    Clock::Monotonic blocked_until{};
    Clock::Monotonic last_failure{};
    int episodes = 0;
  };
  void Prune(Clock::Monotonic now);  // mutex held

  const Clock& clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace qb
