#pragma once

#include <string>
#include <vector>

#include "core/plugin_parts.h"

namespace qb {

// The condition type the plug-in offers the host's events, and the two alarm directions.
inline constexpr const char* kAlarmConditionType = "1-Wire Temperature Alarm";
inline constexpr const char* kOverTemp = "Over Temp";
inline constexpr const char* kUnderTemp = "Under Temp";
// The condition type of a device at a reader (an iButton touched to it, or any device that comes
// and goes): the device as its ROM id or its host device's location and name, then Arrived (it
// is on the bus since the last poll cycle found it) or Left (the last poll cycle missed it).
inline constexpr const char* kButtonConditionType = "1-Wire Button";
inline constexpr const char* kArrived = "Arrived";
inline constexpr const char* kLeft = "Left";
// Separates the fields of a condition text: 0 the host's own, 1 the type, 2 the device as its
// location, a blank and its name, 3 the direction.
inline constexpr char kConditionSeparator = '\x02';

// The fields of a condition text.
std::vector<std::string> SplitCondition(const std::string& cond_str);

// The form of a condition (number 1; any other number has none) in the host's tab and
// carriage-return layout: the devices with alarm limits, then the two directions. The button
// condition has no form: the built-in host's events name it in events.json.
std::string ConditionUI(int cond_num);
// "1-Wire Temperature Alarm on <device> is <direction>", "1-Wire Button <device> Arrived"; empty
// for another plug-in's condition.
std::string ConditionUIFormat(const std::string& cond_str);
// Whether the device of the condition is in alarm in its direction now; for a button, whether
// it is on the bus (Arrived) or away (Left). A device the plug-in has never found does neither.
bool ConditionCheck(const std::string& cond_str);

// The condition type as the plug-in object offers it to the host.
class TemperatureAlarmConditions : public AlarmConditions {
 public:
  std::string ConditionUI(int16_t cond_num) override { return qb::ConditionUI(cond_num); }
  std::string ConditionUIFormat(const std::string& cond_str) override {
    return qb::ConditionUIFormat(cond_str);
  }
  bool ConditionCheck(const std::string& cond_str) override { return qb::ConditionCheck(cond_str); }
};

}  // namespace qb
