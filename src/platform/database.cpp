#include "platform/database.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "platform/database_engines.h"

namespace qb {

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

}  // namespace

double Field::AsDouble() const {
  if (const auto* d = std::get_if<double>(&Value)) return *d;
  if (const auto* i = std::get_if<int64_t>(&Value)) return static_cast<double>(*i);
  if (const auto* s = std::get_if<std::string>(&Value)) {
    const std::string t = Trim(*s);
    double v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    (void)end;
    return ec == std::errc() ? v : 0;
  }
  return 0;
}

std::string Field::AsText() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char buf[32];
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
      return ec == std::errc() ? std::string(buf, end) : std::string();
    }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(DbTime v) const {
      const std::time_t t = std::chrono::system_clock::to_time_t(v);
      std::tm tm{};
      localtime_r(&t, &tm);
      char buf[32];
      std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
      return buf;
    }
  };
  return std::visit(Visitor{}, Value);
}

RecordSet::RecordSet(std::vector<std::string> names, std::vector<int32_t> types,
                     std::vector<std::vector<DbValue>> rows)
    : names_(std::move(names)), types_(std::move(types)), rows_(std::move(rows)) {}

Field RecordSet::Item(int32_t position) const {
  if (position < 0 || position >= FieldCount())
    throw DatabaseError(-2147467259, "no column at position " + std::to_string(position));
  if (Eof()) throw DatabaseError(-2147467259, "the result set has no current row");
  return Field{names_[position], types_[position], rows_[position_][position]};
}

int32_t RecordSet::FindField(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (strcasecmp(names_[i].c_str(), name.c_str()) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

std::map<std::string, std::string> ParseConnectionString(const std::string& connection_string) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start <= connection_string.size()) {
    size_t end = connection_string.find(';', start);
    if (end == std::string::npos) end = connection_string.size();
    const std::string part = connection_string.substr(start, end - start);
    const auto eq = part.find('=');
    if (eq != std::string::npos) {
      const std::string key = Upper(Trim(part.substr(0, eq)));
      if (!key.empty()) out[key] = Trim(part.substr(eq + 1));
    }
    start = end + 1;
  }
  return out;
}

std::unique_ptr<Connection> CreateConnection(const std::string& connection_string) {
  const auto keys = ParseConnectionString(connection_string);
  const auto provider = keys.find("PROVIDER");
  const std::string name = provider == keys.end() ? std::string() : Upper(provider->second);
  if (name == "SQLITE" || (name.empty() && keys.count("DATA SOURCE")))
    return MakeSqliteConnection();
  if (name == "POSTGRESQL" || name == "POSTGRES") {
    if (auto c = MakePostgresConnection()) return c;
    throw DatabaseError(-2147467259, "this build has no PostgreSQL support");
  }
  throw DatabaseError(-2147467259,
                      "the connection string names no database this program can open (Provider=" +
                          (name.empty() ? std::string("?") : provider->second) +
                          "); use Provider=SQLite or Provider=PostgreSQL");
}

std::shared_ptr<Connection> OpenDatabase(const std::string& connection_string) {
  std::shared_ptr<Connection> c = CreateConnection(connection_string);
  c->Open(connection_string);
  return c;
}

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

double LocalDayNumber(DbTime when) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(when);
  const std::time_t t = system_clock::to_time_t(secs);
  std::tm tm{};
  localtime_r(&t, &tm);
  // The local wall time read as if it were UTC gives whole days and the time of day.
  const int64_t local = static_cast<int64_t>(timegm(&tm));
  const double fraction = duration<double>(when - secs).count();
  // 25569 days lie between 30 December 1899 and 1 January 1970.
  return 25569.0 + (static_cast<double>(local) + fraction) / 86400.0;
}

std::string UtcTimestampText(DbTime when) {
  const std::time_t t =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::optional<DbTime> ParseTimestampText(const std::string& text) {
  // YYYY-MM-DD[ T]hh:mm:ss[.fff][Z|+hh[:mm]|-hh[:mm]]; without an offset the time is UTC.
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[ T]%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
                  &used) != 6 ||
      used != 19)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  int64_t secs = timegm(&tm);
  double fraction = 0;
  size_t i = static_cast<size_t>(used);
  if (i < text.size() && text[i] == '.') {
    size_t j = i + 1;
    double scale = 0.1;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) {
      fraction += (text[j] - '0') * scale;
      scale /= 10;
      ++j;
    }
    i = j;
  }
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    const int sign = text[i] == '+' ? 1 : -1;
    int oh = 0, om = 0;
    const std::string rest = text.substr(i + 1);
    if (std::sscanf(rest.c_str(), "%2d:%2d", &oh, &om) < 1) return std::nullopt;
    secs -= sign * (oh * 3600 + om * 60);
  } else if (i < text.size() && text[i] != 'Z') {
    return std::nullopt;
  }
  using namespace std::chrono;
  return DbTime{seconds(secs)} + duration_cast<system_clock::duration>(duration<double>(fraction));
}

}  // namespace qb
