#pragma once

#include <string>
#include <variant>

namespace qb {

struct DSDevice;
struct DSROM;

// A new value for a channel: a number, or a text (numeric text, "On" or "Off").
using ChannelValue = std::variant<double, std::string>;

// Writes a channel's new value into its host device when it changed: value, status text and
// change time, and keeps the record's HSString and Reading in step. `unit` is appended to the
// status text when "Append" is on; `raw` values (counts, wiper positions) are written unformatted.
// An `over_range` number (an A/D input clipped at the top of its range) keeps its value, and its
// status text ends with kOverRangeText so nobody takes it for the input. True when the host
// device was written.
bool UpdateHSDev(DSDevice& record, const ChannelValue& value, const std::string& unit = {},
                 bool raw = false, bool over_range = false);

// What the status text of a clipped reading ends with.
inline constexpr const char* kOverRangeText = " (over range)";

// Takes note of whether a device answered the read cycle's presence check. Going absent and
// coming back are logged once each, and the host devices of its channels are marked stale while
// it is away (their values are the last ones read).
void NotePresence(DSROM& rom, bool present);
// Takes a name and location the host gave one of the plug-in's devices into its record, so the
// pages show it at once. Unknown keys are ignored.
void TakeHostNames(const std::string& key, const std::string& name, const std::string& location);

// Renames or relocates a channel's host device and its record.
void RenameHSDevice(const std::string& key, const std::string& new_name);
void RelocateHSDevice(const std::string& key, const std::string& new_location);

// The name a chart is asked for, as the database knows the device: when logged rows name devices
// by location and name, the key of the channel with that location and name (if any); otherwise
// the text itself.
std::string ResolveChartName(const std::string& text);

// A number as the host renders one: up to 15 significant digits, the locale's decimal separator,
// no grouping.
std::string PlainNumberText(double value);

}  // namespace qb
