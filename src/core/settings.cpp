#include "core/settings.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

#include "platform/settings_store.h"

namespace qb {

namespace {

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool ParseWholeNumber(const std::string& text, double& out) {
  const std::string t = Trimmed(text);
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return false;
  // strtod also reads hexadecimal and "inf"/"nan"; the store only ever held decimal numbers.
  for (char c : t) {
    if (c == 'x' || c == 'X' || c == 'n' || c == 'N' || c == 'i' || c == 'I') return false;
  }
  out = v;
  return true;
}

struct Field {
  const char* key;
  std::function<std::string(const Settings&)> get;
  std::function<void(Settings&, const std::string&)> set;
  // Puts the value inside its limits; true when it had to change it.
  std::function<bool(Settings&)> limit;
};

Field Text(const char* key, std::string Settings::*member) {
  return {key, [member](const Settings& s) { return s.*member; },
          [member](Settings& s, const std::string& t) { s.*member = t; }, nullptr};
}

Field Int(const char* key, int32_t Settings::*member,
          int64_t lo = std::numeric_limits<int32_t>::min(),
          int64_t hi = std::numeric_limits<int32_t>::max()) {
  std::function<bool(Settings&)> limit;
  if (lo != std::numeric_limits<int32_t>::min() || hi != std::numeric_limits<int32_t>::max()) {
    limit = [member, lo, hi](Settings& s) {
      const int64_t v = s.*member;
      const int64_t bounded = v < lo ? lo : v > hi ? hi : v;
      s.*member = static_cast<int32_t>(bounded);
      return bounded != v;
    };
  }
  return {key, [member](const Settings& s) { return std::to_string(s.*member); },
          [member](Settings& s, const std::string& t) { s.*member = SettingToInt(t); }, limit};
}

Field Flag(const char* key, bool Settings::*member) {
  return {key, [member](const Settings& s) { return std::string(s.*member ? "1" : "0"); },
          [member](Settings& s, const std::string& t) { s.*member = SettingToBool(t); }, nullptr};
}

Field TrueFalse(const char* key, bool Settings::*member) {
  return {key, [member](const Settings& s) { return std::string(s.*member ? "True" : "False"); },
          [member](Settings& s, const std::string& t) { s.*member = SettingToBool(t); }, nullptr};
}

Field WebPageFlag(const char* key, size_t page) {
  return {key, [page](const Settings& s) { return std::string(s.WebPages[page] ? "1" : "0"); },
          [page](Settings& s, const std::string& t) { s.WebPages[page] = SettingToBool(t); },
          nullptr};
}

Field Column(const char* key, size_t index) {
  return {key, [index](const Settings& s) { return s.Fields[index]; },
          [index](Settings& s, const std::string& t) { s.Fields[index] = t; }, nullptr};
}

// Every general setting in the order the Setup dialog loads them.
const std::vector<Field>& Schema() {
  static const std::vector<Field> fields = {
      Text("IntType", &Settings::IntType),
      Text("IntPort", &Settings::IntPort),
      Int("IntSpeed", &Settings::IntSpeed),
      Int("StartColor", &Settings::StartColor),
      Int("EndColor", &Settings::EndColor),
      Flag("Chart3D", &Settings::Chart3D),
      Int("StartColor1", &Settings::StartColor1),
      Int("EndColor1", &Settings::EndColor1),
      Flag("Chart3D1", &Settings::Chart3D1),
      Flag("Presence", &Settings::Presence),
      Flag("Alarming", &Settings::Alarming),
      Flag("PollAlarming", &Settings::PollAlarming),
      Flag("Append", &Settings::Append),
      Int("Alarm Mode", &Settings::AlarmMode),
      Flag("chkTimer", &Settings::chkTimer),
      Flag("Display", &Settings::Display),
      Flag("Web Page", &Settings::WebPage),
      WebPageFlag("Web Page0", 0),
      WebPageFlag("Web Page1", 1),
      WebPageFlag("Web Page2", 2),
      WebPageFlag("Web Page3", 3),
      Int("Default Page", &Settings::DefaultPage),
      Int("ChartX", &Settings::ChartX, 200),
      Int("ChartY", &Settings::ChartY, 100),
      Int("ChartX1", &Settings::ChartX1, 150),
      Int("ChartY1", &Settings::ChartY1, 100),
      Int("Debug", &Settings::DebugLevel),
      Int("PollCycle", &Settings::CycleSeconds, 1, 65535),
      Int("PollTemp", &Settings::PollTemp, 0),
      Int("PollAD", &Settings::PollAD, 0),
      Int("PollI", &Settings::PollI, 0),
      Int("BusConvert", &Settings::BusConvert, 0, 1),
      {"SigFigs", [](const Settings& s) { return std::to_string(s.SigFigs); },
       [](Settings& s, const std::string& t) {
         const int32_t v = SettingToInt(t);
         s.SigFigs = static_cast<uint8_t>(
             v >= 0 && v <= 255 ? v : 0);  // a byte: anything else is unreadable
       },
       [](Settings& s) {
         if (s.SigFigs <= 10) return false;
         s.SigFigs = 10;
         return true;
       }},
      Text("Database", &Settings::Database),
      Flag("chkDBLog", &Settings::chkDBLog),
      Flag("chkDBKeepOpen", &Settings::chkDBKeepOpen),
      Text("Table", &Settings::Table),
      Column("Field0", 0),
      Column("Field1", 1),
      Column("Field2", 2),
      Flag("chkChanges", &Settings::chkChanges),
      Text("DefaultPort", &Settings::DefaultPort),
      TrueFalse("Range", &Settings::Range),
      {"DeviceID", [](const Settings& s) { return std::string(s.DeviceIDByName ? "1" : "0"); },
       [](Settings& s, const std::string& t) { s.DeviceIDByName = Trimmed(t) == "1"; }, nullptr},
      Text("Speech", &Settings::Speech),
      Text("Alarm Speech", &Settings::AlarmSpeech),
      Flag("Log Alarms", &Settings::LogAlarms),
      Int("Tab", &Settings::Tab),
  };
  return fields;
}

const Field* FindField(const std::string& key) {
  for (const auto& f : Schema()) {
    if (strcasecmp(f.key, key.c_str()) == 0) return &f;
  }
  return nullptr;
}

}  // namespace

bool SettingToBool(const std::string& text) {
  const std::string t = Trimmed(text);
  if (strcasecmp(t.c_str(), "True") == 0) return true;
  if (strcasecmp(t.c_str(), "False") == 0) return false;
  double v = 0;
  return ParseWholeNumber(t, v) && v != 0;
}

double SettingToDouble(const std::string& text) {
  double v = 0;
  return ParseWholeNumber(text, v) ? v : 0;
}

int32_t SettingToInt(const std::string& text) {
  double v = 0;
  if (!ParseWholeNumber(text, v)) return 0;
  const double r = std::nearbyint(v);  // the default rounding mode rounds halves to even
  if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(r);
}

std::string DefaultDatabase(const std::string& app_path) {
  return "Provider=SQLite;Data Source=" + app_path + "/1WireTemps.db";
}

Settings DefaultSettings(const std::string& app_path) {
  Settings s;
  s.Database = DefaultDatabase(app_path);
  return s;
}

bool IsRetiredDatabase(const std::string& connection_string) {
  std::string upper = Trimmed(connection_string);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper.empty() || upper == "C:\\PROGRAM FILES\\HEARTHMOOR\\1WIRETEMPS.MDB" ||
         upper.find("MICROSOFT.JET") != std::string::npos;
}

Settings LoadSettings(const SettingsStore& store, const std::string& app_path) {
  Settings s = DefaultSettings(app_path);
  for (const auto& f : Schema()) {
    try {
      if (auto value = store.Get(kSettingsSection, f.key)) f.set(s, *value);
    } catch (...) {
      // One unreadable key keeps its default; the others still load.
    }
  }
  if (IsRetiredDatabase(s.Database)) s.Database = DefaultDatabase(app_path);
  return s;
}

std::vector<std::string> ApplySettingsLimits(Settings& settings) {
  std::vector<std::string> changed;
  for (const auto& f : Schema()) {
    if (f.limit && f.limit(settings)) changed.push_back(f.key);
  }
  return changed;
}

void SaveSettings(SettingsStore& store, const Settings& settings) {
  SettingsBatch batch(store);
  for (const auto& f : Schema()) {
    try {
      store.Set(kSettingsSection, f.key, f.get(settings));
    } catch (...) {
      // A key that cannot be written is skipped; the others are still saved.
    }
  }
}

std::string SettingText(const Settings& settings, const std::string& key) {
  const Field* f = FindField(key);
  return f ? f->get(settings) : std::string();
}

bool SetSettingText(Settings& settings, const std::string& key, const std::string& text) {
  const Field* f = FindField(key);
  if (!f) return false;
  f->set(settings, text);
  return true;
}

std::vector<std::string> SettingKeys() {
  std::vector<std::string> keys;
  for (const auto& f : Schema()) keys.push_back(f.key);
  return keys;
}

}  // namespace qb
