#include "host/login_throttle.h"

#include <algorithm>

namespace qb {

std::optional<long> LoginThrottle::Wait(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(address);
  if (it == entries_.end()) return std::nullopt;
  const auto now = clock_.MonotonicNow();
  if (now >= it->second.blocked_until) return std::nullopt;
  const auto left = std::chrono::ceil<std::chrono::seconds>(it->second.blocked_until - now);
  return std::max<long>(1, static_cast<long>(left.count()));
}

std::optional<std::string> LoginThrottle::Failed(const std::string& address,
                                                 const std::string& user) {
  std::lock_guard lock(mutex_);
  const auto now = clock_.MonotonicNow();
  if (entries_.size() >= kMaxAddresses && !entries_.count(address)) Prune(now);
  Entry& e = entries_[address];
  if (e.episodes > 0 && now - e.last_failure >= kForget) e = Entry{};
  e.last_failure = now;
  if (e.failures == 0 || now - e.window_start >= kWindow) {
    e.failures = 0;
    e.window_start = now;
  }
  if (++e.failures < kFailuresAllowed) return std::nullopt;
  // The wait doubles with each episode, up to the longest.
  auto wait = kFirstWait;
  for (int i = 0; i < e.episodes && wait < kLongestWait; ++i) wait *= 2;
  wait = std::min(wait, kLongestWait);
  ++e.episodes;
  e.failures = 0;
  e.blocked_until = now + wait;
  // The name is the guesser's text: only printable ASCII of it, and not much, reaches the log.
  std::string name;
  for (char c : user.substr(0, 40)) name += c >= 0x20 && c < 0x7F ? c : '?';
  return std::to_string(kFailuresAllowed) + " failed web logins from " + address +
         " within a minute (the last as \"" + name + "\"): that address must wait " +
         std::to_string(wait.count()) + " s before it may try again" +
         (e.episodes > 1 ? " (time " + std::to_string(e.episodes) + " it is made to wait)" : "");
}

void LoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(address);
  if (it == entries_.end()) return;
  if (it->second.episodes == 0)
    entries_.erase(it);
  else
    it->second.failures = 0;
}

void LoginThrottle::Prune(Clock::Monotonic now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = it->second;
    const bool idle = now >= e.blocked_until && now - e.last_failure >= kWindow;
    it = idle ? entries_.erase(it) : std::next(it);
  }
  // Still full (a flood from many addresses): the oldest are forgotten.
  while (entries_.size() >= kMaxAddresses) {
    auto oldest = std::min_element(
        entries_.begin(), entries_.end(),
        [](const auto& a, const auto& b) { return a.second.last_failure < b.second.last_failure; });
    entries_.erase(oldest);
  }
}

}  // namespace qb
