// The network fixture with the real temperature alarm parts.
#pragma once

#include "onewire/alarm_conditions.h"
#include "onewire/network_fixture.h"
#include "onewire/temp_alarms.h"

namespace qb::test {

class AlarmTest : public NetworkTest {
 protected:
  AlarmTest() {
    Plugin().parts.alarms = std::make_shared<TemperatureAlarmReaction>();
    Plugin().parts.conditions = std::make_shared<TemperatureAlarmConditions>();
  }
  // The channel record of a key with a host device named `location` `name`.
  std::shared_ptr<DSDevice> Named(const std::string& key, const std::string& location,
                                  const std::string& name) {
    auto d = gROMs().FindDev(key);
    d->HSLocation = location;
    d->HSName = name;
    return d;
  }
  static std::string Condition(const std::string& device, const std::string& direction,
                               const std::string& type = kAlarmConditionType) {
    const char sep = kConditionSeparator;
    return std::string("host") + sep + type + sep + device + sep + direction;
  }
};

}  // namespace qb::test
