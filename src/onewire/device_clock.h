#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace qb {

// The library counts clock times in milliseconds since 1970-01-01 00:00; the plug-in shows them
// as dates on the system's day count, on which 25569 is 1970-01-01. Neither way applies a time
// zone: a device clock set from this machine holds the local wall time.
inline constexpr double kDayCountOf1970 = 25569;
double DateOfLibraryTime(int64_t ms);
// The library time of a moment as this machine's local clock shows it, in whole seconds.
int64_t LibraryTimeOfLocal(Clock::WallTime when);
// A date of the day count as text: "1970-01-01" at midnight, else with the time of day,
// "2026-12-07 17:05:09".
std::string DateText(double days);

// The SetClock bits, applied in this order.
inline constexpr int kSetTime = 1;            // the clock to the present local time
inline constexpr int kSetClockAlarm = 2;      // the clock alarm to the entered time, and enabled
inline constexpr int kToggleClockRun = 4;     // the clock started or stopped
inline constexpr int kToggleClockAlarm = 8;   // the clock alarm enabled or disabled
inline constexpr int kSetInterval = 16;       // the interval timer to the entered value
inline constexpr int kSetIntervalAlarm = 32;  // its alarm to the entered value, and enabled
inline constexpr int kToggleIntervalAlarm = 64;
inline constexpr int kToggleIntervalAuto = 128;

// What a person entered for the clock writes that take a value (milliseconds; the clock alarm
// since 1970-01-01 00:00 local time).
struct ClockEntries {
  int64_t clock_alarm_ms = 0;
  int64_t interval_ms = 0;
  int64_t interval_alarm_ms = 0;
};

// Writes a clock device (the ROM id, exactly 16 characters): each bit of `what` in the order
// above, in one read and write of the device. Errors are logged as "1-Wire ERROR(SetClock)".
void SetClock(int what, const std::string& rom, const ClockEntries& entries = {});

// The clock section of a clock device's page as HTML: a link that sets the device to this
// machine's time, the time and whether the clock runs, its alarm and, on a DS1994, the interval
// timer. A clock alarm that is active colours the device red in an open Setup dialog. Errors are
// logged as "1-Wire ERROR(ShowDevTime)"; what was read up to then is shown.
std::string ShowDevTime(const std::string& rom);

}  // namespace qb
