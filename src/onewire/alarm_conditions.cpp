#include "onewire/alarm_conditions.h"

#include "onewire/temp_alarms.h"
#include "registry/records.h"

namespace qb {

std::vector<std::string> SplitCondition(const std::string& cond_str) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = cond_str.find(kConditionSeparator, start);
    fields.push_back(cond_str.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

namespace {

// Field `i` of a condition, empty when it has fewer fields.
std::string Field(const std::vector<std::string>& fields, size_t i) {
  return i < fields.size() ? fields[i] : std::string();
}

// The ROM id a button condition names: its ROM id, or the location and name of one of its host
// devices.
std::string ButtonRom(const std::string& device) {
  if (device.size() == 16 && gROMs().Find(device)) return device;
  const std::string key = gROMs().FindbyHSLocationAndHSName(device);
  return key.size() >= 16 ? key.substr(0, 16) : std::string();
}

}  // namespace

std::string ConditionUI(int cond_num) {
  if (cond_num != 1) return {};
  std::string ui = std::string(kAlarmConditionType) + "\t0\t0\tDevice:\t";
  // Both walks hold their own references: asking a device about its limits takes the bus and may
  // let requests run that change the registry.
  const auto roms = gROMs().ROMlist;
  if (roms.empty()) return ui;
  for (const auto& rom : roms) {
    const auto devices = rom->Devices;
    const auto channels = devices->DevList;
    int has = -1;  // the device is asked once, for its first channel that does not know yet
    for (const auto& d : channels) {
      if (d->hasTemperatureAlarms == -1) {
        if (has == -1) has = HasTempAlarms(rom->ROM) ? 1 : 0;
        d->hasTemperatureAlarms = has;
      }
      if (d->ROM.size() > 16 && d->hasTemperatureAlarms == 1)
        ui += d->HSLocation + " " + d->HSName + "\t";
    }
  }
  ui.pop_back();
  ui += std::string("\r\t\t0\t0\tAlarm:\t") + kOverTemp + "\t" + kUnderTemp + "\r";
  return ui;
}

std::string ConditionUIFormat(const std::string& cond_str) {
  const auto fields = SplitCondition(cond_str);
  if (Field(fields, 1) == kButtonConditionType)
    return Field(fields, 1) + " " + Field(fields, 2) + " " + Field(fields, 3);
  if (Field(fields, 1) != kAlarmConditionType) return {};
  return Field(fields, 1) + " on " + Field(fields, 2) + " is " + Field(fields, 3);
}

bool ConditionCheck(const std::string& cond_str) {
  const auto fields = SplitCondition(cond_str);
  if (Field(fields, 1) == kButtonConditionType) {
    // The read cycle checks every known device's presence each poll; the scan adds a device it
    // has never seen within the same cycle.
    const auto rom = gROMs().Find(ButtonRom(Field(fields, 2)));
    if (!rom) return false;
    if (Field(fields, 3) == kArrived) return !rom->Absent;
    if (Field(fields, 3) == kLeft) return rom->Absent;
    return false;
  }
  if (Field(fields, 1) != kAlarmConditionType) return false;
  const std::string key = gROMs().FindbyHSLocationAndHSName(Field(fields, 2));
  return TempAlarmActive(key.substr(0, 16), Field(fields, 3) == kUnderTemp);
}

}  // namespace qb
