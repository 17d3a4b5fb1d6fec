#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qb {

struct DSDevice;

// Configuration writes and queries of single devices. Each targets the device's family, binds a
// container in slot 2 (operations that end with a read) or slot 3 (queries and alarm writes),
// and releases the slot and the bus on every way out.
bool HasSelectableResolution(const std::string& rom);
// Family 10: the stored "Resolution" setting (default 0.1) without bus traffic; other
// families: what the device reports (0 when it cannot be asked).
double GetTempResolution(const std::string& rom);
void SetTempRes(DSDevice& channel, double resolution);
void SetTempAlarm(const std::string& rom, bool high, double value);
// Low and high limit.
std::pair<double, double> GetTempAlarms(const std::string& rom);
// "External" or "Parasitic"; empty when the device cannot be asked.
std::string PowerSource(const std::string& rom);
void SetPot(DSDevice& channel, int position);
void SetSwitch(DSDevice& channel, bool on);
// Reads a channel's device at once, the read type chosen by its letter.
void ReadChannel(DSDevice& channel);
// Shows the presence of every device whose ROM id has a host device of its own.
void CheckPresence();
// Writes one DS2450 channel setting: 1 range, 2 resolution, 3 low alarm, 4 high alarm, 5 output;
// -1 means "not set".
void AD4Adjust(int channel, int setting, double value, const std::string& key);

// What a DS2450 channel is set to, as the Setup dialog and the device page show it.
struct AD4Channel {
  bool low_enabled = false, high_enabled = false;  // alarm enables
  bool low_alarmed = false, high_alarmed = false;  // alarm flags
  std::string range;                               // "5.12V"; "None" when it cannot be read
  std::string resolution;                          // volts per step
  std::string low_limit, high_limit;               // volts
  std::string output;                              // "1" conducting, "0" not
};
// Reads the settings of the four channels of the DS2450 of `key`; empty when it cannot be read.
std::vector<AD4Channel> AD4Read(const std::string& key);

}  // namespace qb
