#include "onewire/device_health.h"

#include <cmath>
#include <ctime>

#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/onewire_state.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "registry/value_update.h"

namespace qb {

namespace {

int64_t HourNumber(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::hours>(when.time_since_epoch()).count();
}

constexpr const char* kLastSeenSection = "Last Seen";

// "2026-12-08 01:02:03" in UTC, as the settings keep a last-seen time.
std::string TimeText(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::optional<std::chrono::system_clock::time_point> TimeFromText(const std::string& text) {
  std::tm utc{};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &utc);
  if (!end || *end != '\0') return std::nullopt;
  return std::chrono::system_clock::from_time_t(timegm(&utc));
}

std::string Key(const std::string& rom) {
  return rom.substr(0, 16);
}

// Failed transfers against transfers tried: every read and every retry is one try.
double ErrorShare(const HealthCounts& c) {
  const int64_t tries = c.reads + c.retries;
  if (tries <= 0) return 0;
  const double failed = static_cast<double>(c.crc_errors + c.absences + c.power_on_rejected);
  return std::min(1.0, failed / static_cast<double>(tries));
}

// Logs a device whose share of failures passed the threshold, once, and again when it recovers.
void CheckErrorShare(const std::string& rom, DeviceHealth& h) {
  const HealthCounts day = h.LastDay(TheClock().Now());
  const double share = ErrorShare(day);
  if (!h.error_share_logged && day.reads >= kHealthMinReads && share >= kHealthErrorShare) {
    h.error_share_logged = true;
    WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
             "Device " + rom + " fails " + PlainNumberText(ErrorPercent(day)) +
                 " % of its reads over the last 24 h (" + HealthText(day) +
                 "); check its wiring and the bus length");
  } else if (h.error_share_logged && share < kHealthErrorShare / 2) {
    h.error_share_logged = false;
    WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
             "Device " + rom + " reads reliably again: " + PlainNumberText(ErrorPercent(day)) +
                 " % failed over the last 24 h (" + HealthText(day) + ")");
  }
}

}  // namespace

HealthCounts& HealthCounts::operator+=(const HealthCounts& o) {
  reads += o.reads;
  crc_errors += o.crc_errors;
  retries += o.retries;
  absences += o.absences;
  power_on_rejected += o.power_on_rejected;
  failed += o.failed;
  return *this;
}

HealthCounts DeviceHealth::LastDay(std::chrono::system_clock::time_point now) const {
  const int64_t hour = HourNumber(now);
  HealthCounts sum;
  for (size_t i = 0; i < hours.size(); ++i) {
    if (hour_of[i] > hour - 24 && hour_of[i] <= hour) sum += hours[i];
  }
  return sum;
}

BusHealth& TheBusHealth() {
  return OneWire().health;
}

void CountHealth(const std::string& rom, const HealthCounts& add) {
  DeviceHealth& h = TheBusHealth().devices[Key(rom)];
  const int64_t hour = HourNumber(TheClock().Now());
  const size_t slot = static_cast<size_t>(((hour % 24) + 24) % 24);
  if (h.hour_of[slot] != hour) {
    h.hours[slot] = HealthCounts{};
    h.hour_of[slot] = hour;
  }
  h.hours[slot] += add;
  h.since_start += add;
  CheckErrorShare(Key(rom), h);
}

void NoteSeen(const std::string& rom) {
  TheBusHealth().devices[Key(rom)].last_seen = TheClock().Now();
}

void KeepLastSeen(const std::string& rom) {
  DeviceHealth& h = TheBusHealth().devices[Key(rom)];
  const std::string stored = Store().GetOr(kLastSeenSection, Key(rom), "");
  if (!h.last_seen) {
    if (auto kept = TimeFromText(stored)) h.last_seen = *kept;
    return;
  }
  const std::string now = TimeText(*h.last_seen);
  if (now != stored) Store().Set(kLastSeenSection, Key(rom), now);
}

void CountAdapterError() {
  ++TheBusHealth().adapter_errors;
}

void CountAdapterRecovery() {
  ++TheBusHealth().adapter_recoveries;
}

std::optional<DeviceHealth> HealthOf(const std::string& rom) {
  const auto& devices = TheBusHealth().devices;
  const auto it = devices.find(Key(rom));
  if (it == devices.end()) return std::nullopt;
  return it->second;
}

HealthCounts BusSinceStart() {
  HealthCounts sum;
  for (const auto& [rom, h] : TheBusHealth().devices) sum += h.since_start;
  return sum;
}

HealthCounts BusLastDay() {
  const auto now = TheClock().Now();
  HealthCounts sum;
  for (const auto& [rom, h] : TheBusHealth().devices) sum += h.LastDay(now);
  return sum;
}

double ErrorPercent(const HealthCounts& counts) {
  return std::round(ErrorShare(counts) * 1000) / 10;
}

std::string HealthText(const HealthCounts& c) {
  return "reads " + std::to_string(c.reads) + ", CRC errors " + std::to_string(c.crc_errors) +
         ", retries " + std::to_string(c.retries) + ", absences " + std::to_string(c.absences) +
         ", power-on values rejected " + std::to_string(c.power_on_rejected) + ", failed reads " +
         std::to_string(c.failed);
}

}  // namespace qb
