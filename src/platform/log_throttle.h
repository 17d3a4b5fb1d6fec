#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "platform/clock.h"

namespace qb {

// Keeps a complaint that comes again and again (a flood of bad messages, a disk that fills and
// frees) from filling the log. Lines are written by kind: in each interval the first `burst`
// lines of a kind are written as they come; the rest are counted, and one line then says how many
// were left out and what the last of them said. The count is written when the next line of that
// kind comes after the interval, or by Flush (called from a timer) once the interval is over, so
// the end of a flood is never left unsaid. Not thread-safe: use it on one thread.
class LogThrottle {
 public:
  using Sink = std::function<void(const std::string& category, const std::string& text)>;

  LogThrottle(Clock& clock, Sink sink, std::chrono::seconds interval = std::chrono::seconds(60),
              size_t burst = 10);

  // Writes the line, or counts it when its kind has had its share of this interval.
  void Write(const std::string& kind, const std::string& category, const std::string& text);
  // Writes the counts of the kinds whose interval is over.
  void Flush();

  // Lines of this kind left out so far in the current interval.
  size_t HeldBack(const std::string& kind) const;

 private:
  struct Window {
    Clock::Monotonic start{};
    size_t written = 0;
    size_t held_back = 0;
    std::string category, last_text;  // of the last line held back
  };
  void Report(Window& window);

  Clock& clock_;
  Sink sink_;
  std::chrono::seconds interval_;
  size_t burst_;
  std::map<std::string, Window> windows_;
};

}  // namespace qb
