#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qb {

// How reliably one device answers: the counts of its reads and of what went wrong in them.
struct HealthCounts {
  int64_t reads = 0;              // reads of the device's values attempted
  int64_t crc_errors = 0;         // transfers that failed their CRC check (all zeros/ones too)
  int64_t retries = 0;            // transfers run again after such a failure
  int64_t absences = 0;           // reads the device was not present for
  int64_t power_on_rejected = 0;  // thermometer scratchpads holding the power-on value
  int64_t failed = 0;             // reads that gave no value at all

  HealthCounts& operator+=(const HealthCounts& o);
};

// A device's counts since the program started and over the last 24 hours (in hourly steps), and
// when it last answered.
struct DeviceHealth {
  HealthCounts since_start;
  // The counts of each of the last 24 hours, by hour number since the epoch.
  std::array<HealthCounts, 24> hours{};
  std::array<int64_t, 24> hour_of{};
  std::optional<std::chrono::system_clock::time_point> last_seen;
  bool error_share_logged = false;  // logged as unreliable, not yet as recovered

  HealthCounts LastDay(std::chrono::system_clock::time_point now) const;
};

// The whole bus: every device's figures and the adapter's own errors and recoveries.
struct BusHealth {
  std::map<std::string, DeviceHealth> devices;  // by the 16-character ROM id
  int64_t adapter_errors = 0;
  int64_t adapter_recoveries = 0;
  // How long the read cycles' walks over the bus and the temperature conversions took.
  double cycle_seconds_sum = 0;
  int64_t cycles = 0;
  double conversion_seconds_sum = 0;
  int64_t conversions = 0;
};

// The share of failed reads (over the last 24 hours, from kHealthMinReads reads on) at which a
// device is logged as unreliable; it is logged as recovered when the share falls below half.
inline constexpr double kHealthErrorShare = 0.1;
inline constexpr int64_t kHealthMinReads = 20;

// Counting, all on the plug-in's thread. `rom` is the device's ROM id (its first 16 characters
// are used). `add` is added to the device's counts of the current hour and since start; a read
// that came back with a value also sets the last-seen time.
void CountHealth(const std::string& rom, const HealthCounts& add);
void NoteSeen(const std::string& rom);
// The adapter failed, or answered again after failing.
void CountAdapterError();
void CountAdapterRecovery();
// A device's figures (empty when it was never read in this run).
std::optional<DeviceHealth> HealthOf(const std::string& rom);
// The sums over every device, since start and over the last 24 hours.
HealthCounts BusSinceStart();
HealthCounts BusLastDay();
// A failed read's share of the reads, as a percentage rounded to a tenth.
double ErrorPercent(const HealthCounts& counts);
// "reads 120, CRC errors 3, retries 3, absences 0, power-on values rejected 1, failed reads 1"
std::string HealthText(const HealthCounts& counts);
// A device found absent: its last-seen time is kept in the settings ([Last Seen], by ROM id),
// and one not seen in this run takes the time kept from an earlier run, so that a device gone
// before a restart does not look fresh after it.
void KeepLastSeen(const std::string& rom);

BusHealth& TheBusHealth();

}  // namespace qb
