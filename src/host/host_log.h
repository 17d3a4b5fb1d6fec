#pragma once

#include <cstdint>
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
// separated by tabs (tabs, line breaks and backslashes inside a field are escaped). Every line is
// valid UTF-8 (bytes that are not are replaced). The file is rotated by size, keeping a few old
// files (".1" the newest). An error line repeated without pause is written once, and the number
// of repeats follows when it stops (or every minute while it goes on).
class HostLog {
 public:
  struct Limits {
    size_t keep = 5000;                       // lines kept for the JSON API
    std::uintmax_t max_file_bytes = 8 << 20;  // the file is rotated beyond this size
    int old_files = 3;                        // rotated files kept
  };
  HostLog(Clock& clock, std::filesystem::path file, bool echo_to_stdout, Limits limits);
  HostLog(Clock& clock, std::filesystem::path file, bool echo_to_stdout)
      : HostLog(clock, std::move(file), echo_to_stdout, Limits{}) {}
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
  void Emit(LogLine line);           // mutex held
  void EndRepeats();                 // mutex held
  void RotateIfFull(size_t adding);  // mutex held

  Clock& clock_;
  std::filesystem::path path_;
  bool echo_;
  Limits limits_;
  std::uintmax_t file_bytes_ = 0;
  // The error line last written, and how often it came again since.
  std::string last_category_, last_text_;
  size_t repeats_ = 0;
  Clock::Monotonic repeats_since_{};
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::deque<LogLine> recent_;
};

// Local time as the log and the JSON API write it.
std::string FormatLocalTime(Clock::WallTime when, bool with_millis = true);

}  // namespace qb
