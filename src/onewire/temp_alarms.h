#pragma once

#include <string>

#include "core/plugin_parts.h"

namespace qb {

// Whether the device (first 16 characters of `rom`) has temperature alarm limits. False when no
// container can be set up for it or the bus fails.
bool HasTempAlarms(const std::string& rom);

// Whether the device is in alarm in the given direction: it answers the alarm search and its
// temperature is at or beyond the limit of that direction (the thermochron: its alarm flag of
// that direction). False for an empty id, a device that cannot be asked, or a bus error.
bool TempAlarmActive(const std::string& rom, bool under);

// A temperature limit byte of a thermometer's scratchpad, as two hexadecimal digits: a signed
// byte ("7D" 125, "7E" 126, "FF" -1). 0 for text that is not a byte.
int LimitOfHexByte(const std::string& hex);

// What the plug-in does about a thermometer in alarm found by the read cycle: shows it red in
// the Setup dialog, reads it at once when "PollAlarming" asks for it (and shows it again), logs
// it, and beeps or speaks as "Alarm Mode" says. Repeats on every cycle while the device stays in
// alarm; the temperature channel's record is marked InAlarm meanwhile, and the end of the alarm
// is logged once. A thermometer without a reading yet is only shown, not reported.
class TemperatureAlarmReaction : public AlarmReaction {
 public:
  void DeviceAlarming(const std::string& rom, const std::function<void()>& read_now) override;
  void DeviceNotAlarming(const std::string& rom) override;
};

// The colour of an alarming device in the Setup dialog's tree (red).
inline constexpr int32_t kAlarmColour = 255;

}  // namespace qb
