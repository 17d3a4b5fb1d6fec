#pragma once

#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace qb {

struct LogLine {
  std::string time;  // local time, "YYYY-MM-DD HH:MM:SS.mmm"
  std::string category;
  std::string text;
};

// The host's log: every line goes to standard output and to a file in the host's folder, and the
// most recent lines are kept for the JSON API. The file holds one line per entry, the fields
// separated by tabs (tabs, line breaks and backslashes inside a field are escaped).
class HostLog {
 public:
  HostLog(Clock& clock, std::filesystem::path file, bool echo_to_stdout, size_t keep = 5000);
  ~HostLog();

  // Opens the file for appending and reads back its most recent lines. Returns an error text
  // when the file cannot be opened (the log then goes to standard output only).
  std::string Open();
  void Write(const std::string& category, const std::string& text);
  std::vector<LogLine> Tail(size_t count) const;
  void Flush();

  static std::string EncodeLine(const LogLine& line);
  static bool DecodeLine(const std::string& text, LogLine& line);

 private:
  Clock& clock_;
  std::filesystem::path path_;
  bool echo_;
  size_t keep_;
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::deque<LogLine> recent_;
};

// Local time as the log and the JSON API write it.
std::string FormatLocalTime(Clock::WallTime when, bool with_millis = true);

}  // namespace qb
