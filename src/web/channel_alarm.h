#pragma once

#include <string>

namespace qb {

struct DSDevice;

// Whether a thermometer channel is in alarm: its value has reached the low or the high limit of
// its device. Judged from the record alone (the alarm flag the read cycle found, or the limits the
// device page last read against the value shown), so a page can ask for every row without going
// to the bus; false while neither is known or no value has been read.
bool ChannelInAlarm(const DSDevice& channel);

// A thermometer's alarm limit (whole degrees Celsius, as the device holds it) in the unit the
// values are shown in: whole degrees Fahrenheit when "Range" asks for them.
int LimitShown(int celsius);

// Whether the channel shows a value read from its device (not empty, not a word such as "Off").
bool ValueShown(const DSDevice& channel);

// The CSS class that marks a cell in alarm, added beside the cell's own class.
inline constexpr const char* kAlarmClass = "alarm";

}  // namespace qb
