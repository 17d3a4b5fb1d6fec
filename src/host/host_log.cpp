#include "host/host_log.h"

#include <ctime>
#include <fstream>

#include "host/utf8_text.h"

namespace qb {

namespace {

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char n = s[++i];
    out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
  }
  return out;
}

// For the terminal: a line break inside a text would split one entry over several lines.
std::string OneLine(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

}  // namespace

std::string FormatLocalTime(Clock::WallTime when, bool with_millis) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  std::string text = buf;
  if (with_millis) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
    text += frac;
  }
  return text;
}

HostLog::HostLog(Clock& clock, std::filesystem::path file, bool echo_to_stdout, Limits limits)
    : clock_(clock), path_(std::move(file)), echo_(echo_to_stdout), limits_(limits) {}

HostLog::~HostLog() {
  {
    std::lock_guard lock(mutex_);
    EndRepeats();
  }
  if (file_) std::fclose(file_);
}

std::string HostLog::EncodeLine(const LogLine& line) {
  return Escape(line.time) + "\t" + Escape(line.category) + "\t" + Escape(line.text);
}

bool HostLog::DecodeLine(const std::string& text, LogLine& line) {
  const auto a = text.find('\t');
  if (a == std::string::npos) return false;
  const auto b = text.find('\t', a + 1);
  if (b == std::string::npos) return false;
  // Lines written by older versions may hold bytes that are not UTF-8.
  line.time = ToValidUtf8(Unescape(text.substr(0, a)));
  line.category = ToValidUtf8(Unescape(text.substr(a + 1, b - a - 1)));
  line.text = ToValidUtf8(Unescape(text.substr(b + 1)));
  // ... and raw control characters, which the log no longer writes.
  line.category = EscapeControls(line.category);
  line.text = EscapeControls(line.text);
  return true;
}

std::string HostLog::Open() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return {};
  {
    // Only the end of a long log is needed to fill the recent lines.
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    const std::streamoff window = 4 << 20;
    std::string text;
    LogLine line;
    if (in && size > window) {
      in.seekg(size - window);
      std::getline(in, text);  // a partial line
    } else if (in) {
      in.seekg(0);
    }
    while (std::getline(in, text)) {
      if (!DecodeLine(text, line)) continue;
      recent_.push_back(line);
      if (recent_.size() > limits_.keep) recent_.pop_front();
    }
  }
  file_ = std::fopen(path_.c_str(), "a");
  std::error_code ec;
  file_bytes_ = file_ ? std::filesystem::file_size(path_, ec) : 0;
  if (ec) file_bytes_ = 0;
  if (!file_)
    return "cannot open the log file " + path_.string() +
           " for writing; logging to standard output only";
  return {};
}

void HostLog::Write(const std::string& category, const std::string& text) {
  LogLine line{FormatLocalTime(clock_.Now()), EscapeControls(ToValidUtf8(category)),
               EscapeControls(ToValidUtf8(text))};
  std::lock_guard lock(mutex_);
  const bool is_error = line.category.find("ERROR") != std::string::npos;
  if (is_error && line.category == last_category_ && line.text == last_text_) {
    ++repeats_;
    if (clock_.MonotonicNow() - repeats_since_ < std::chrono::minutes(1)) return;
    EndRepeats();  // a minute of the same error: say so, and count on
    last_category_ = line.category;
    last_text_ = line.text;
    return;
  }
  EndRepeats();
  if (is_error) {
    last_category_ = line.category;
    last_text_ = line.text;
  }
  Emit(std::move(line));
}

void HostLog::EndRepeats() {
  if (repeats_ > 0) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.MonotonicNow() - repeats_since_)
            .count();
    Emit(LogLine{FormatLocalTime(clock_.Now()), last_category_,
                 "The line before was repeated " + std::to_string(repeats_) + " more times in " +
                     std::to_string(seconds) + " s: " + last_text_});
  }
  repeats_ = 0;
  repeats_since_ = clock_.MonotonicNow();
  last_category_.clear();
  last_text_.clear();
}

void HostLog::RotateIfFull(size_t adding) {
  if (!file_ || file_bytes_ + adding <= limits_.max_file_bytes || file_bytes_ == 0) return;
  std::fclose(file_);
  std::error_code ec;
  const auto old = [&](int n) { return path_.string() + "." + std::to_string(n); };
  std::filesystem::remove(old(limits_.old_files), ec);
  for (int n = limits_.old_files - 1; n >= 1; --n) std::filesystem::rename(old(n), old(n + 1), ec);
  std::filesystem::rename(path_, limits_.old_files > 0 ? old(1) : path_.string() + ".old", ec);
  if (limits_.old_files == 0) std::filesystem::remove(path_.string() + ".old", ec);
  file_ = std::fopen(path_.c_str(), "a");
  file_bytes_ = 0;
}

void HostLog::Emit(LogLine line) {
  if (echo_) {
    std::fprintf(stdout, "%s  %s  %s\n", line.time.c_str(), OneLine(line.category).c_str(),
                 OneLine(line.text).c_str());
    std::fflush(stdout);
  }
  const std::string encoded = EncodeLine(line) + "\n";
  RotateIfFull(encoded.size());
  if (file_) {
    std::fwrite(encoded.data(), 1, encoded.size(), file_);
    std::fflush(file_);
    file_bytes_ += encoded.size();
  }
  recent_.push_back(std::move(line));
  if (recent_.size() > limits_.keep) recent_.pop_front();
}

std::vector<LogLine> HostLog::Tail(size_t count) const {
  std::lock_guard lock(mutex_);
  const size_t n = std::min(count, recent_.size());
  return std::vector<LogLine>(recent_.end() - static_cast<std::ptrdiff_t>(n), recent_.end());
}

void HostLog::Flush() {
  std::lock_guard lock(mutex_);
  EndRepeats();
  std::fflush(stdout);
  if (file_) std::fflush(file_);
}

}  // namespace qb
