#include "platform/log_throttle.h"

namespace qb {

LogThrottle::LogThrottle(Clock& clock, Sink sink, std::chrono::seconds interval, size_t burst)
    : clock_(clock), sink_(std::move(sink)), interval_(interval), burst_(burst) {}

void LogThrottle::Report(Window& window) {
  if (window.held_back == 0) return;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(clock_.MonotonicNow() - window.start)
          .count();
  sink_(window.category, std::to_string(window.held_back) + " more like this in " +
                             std::to_string(seconds) +
                             " s were not written; the last: " + window.last_text);
  window.held_back = 0;
}

void LogThrottle::Write(const std::string& kind, const std::string& category,
                        const std::string& text) {
  const auto now = clock_.MonotonicNow();
  auto [it, added] = windows_.try_emplace(kind);
  Window& w = it->second;
  if (added || now - w.start >= interval_) {
    Report(w);
    w.start = now;
    w.written = 0;
  }
  if (w.written < burst_) {
    ++w.written;
    sink_(category, text);
    return;
  }
  ++w.held_back;
  w.category = category;
  w.last_text = text;
}

void LogThrottle::Flush() {
  const auto now = clock_.MonotonicNow();
  for (auto it = windows_.begin(); it != windows_.end();) {
    Window& w = it->second;
    if (now - w.start < interval_) {
      ++it;
      continue;
    }
    Report(w);
    // A kind that has been quiet for a whole interval starts afresh.
    it = windows_.erase(it);
  }
}

size_t LogThrottle::HeldBack(const std::string& kind) const {
  const auto it = windows_.find(kind);
  return it == windows_.end() ? 0 : it->second.held_back;
}

}  // namespace qb
