#include "logging/chart_dates.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace qb {

namespace {

constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};

int MonthNumber(const char* name) {
  std::string lower(name);
  if (lower.size() < 3) return 0;
  lower = lower.substr(0, 3);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < 12; ++i)
    if (lower == kMonths[i]) return i + 1;
  return 0;
}

}  // namespace

std::optional<DbTime> ParseChartDate(const std::string& text) {
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  char name[16] = {};
  const char* s = text.c_str();
  auto time_part = [&](const char* rest) {
    hour = minute = second = 0;
    if (*rest == '\0') return true;
    int used = 0;
    if (std::sscanf(rest, " %2d:%2d%n", &hour, &minute, &used) >= 2) {
      rest += used;
      if (*rest == ':') {
        if (std::sscanf(rest, ":%2d%n", &second, &used) != 1) return false;
        rest += used;
      }
      while (*rest == ' ') ++rest;
      return *rest == '\0';
    }
    while (*rest == ' ') ++rest;
    return *rest == '\0';
  };
  int used = 0;
  bool ok = false;
  if (std::sscanf(s, " %d %15[A-Za-z] %d%n", &day, name, &year, &used) == 3) {
    month = MonthNumber(name);
    ok = month > 0 && time_part(s + used);
  } else if (std::sscanf(s, " %15[A-Za-z] %d %d%n", name, &day, &year, &used) == 3) {
    month = MonthNumber(name);
    ok = month > 0 && time_part(s + used);
  } else if (std::sscanf(s, " %d-%d-%d%n", &year, &month, &day, &used) == 3) {
    if (s[used] == 'T') ++used;
    ok = time_part(s + used);
  } else if (std::sscanf(s, " %d/%d/%d%n", &day, &month, &year, &used) == 3) {
    ok = time_part(s + used);
  }
  if (!ok || year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day) return std::nullopt;  // 31 Feb
  return std::chrono::system_clock::from_time_t(t);
}

std::string ChartFormDate(DbTime when) {
  static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d %s %04d %02d:%02d", tm.tm_mday, names[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min);
  return buffer;
}

}  // namespace qb
