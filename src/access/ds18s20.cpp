#include "access/ds18s20.h"

#include <cmath>
#include <memory>

#include "access/families.h"

namespace qb::access {

double DS18S20Container::getTemperature(const DeviceState& state) const {
  CheckState(state, "getTemperature");
  // Two's complement in half degrees, sign-extended through the MSB.
  const auto raw = static_cast<int16_t>(state[kTempMsb] << 8 | state[kTempLsb]);
  return raw / 2.0;
}

double DS18S20Container::getTemperatureResolution(const DeviceState& state) const {
  CheckState(state, "getTemperatureResolution");
  return 0.5;
}

void DS18S20Container::setTemperatureResolution(double resolution, DeviceState& state) {
  CheckState(state, "setTemperatureResolution");
  if (std::fabs(resolution - 0.5) > 1e-9) {
    Fail("setTemperatureResolution: the " + getName() + " measures in 0.5 C steps only, not " +
         std::to_string(resolution));
  }
}

std::unique_ptr<OneWireContainer> MakeDS18S20Container() {
  return std::make_unique<DS18S20Container>();
}

}  // namespace qb::access
