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

double DS18S20ExtendedTemperature(const DeviceState& state) {
  if (state.size() != kScratchpadSize) {
    throw AccessError(ErrorCode::GeneralFailure, "DS18S20",
                      "the extended temperature: the state has " + std::to_string(state.size()) +
                          " bytes, a scratchpad has " + std::to_string(kScratchpadSize));
  }
  const auto half_degrees = static_cast<int16_t>(state[kTempMsb] << 8 | state[kTempLsb]);
  const int count_per_c = state[kCountPerC];
  if (count_per_c == 0) return half_degrees / 2.0;
  // Arithmetic shift: whole degrees rounded down, also below zero.
  const int temp_read = half_degrees >> 1;
  return temp_read - 0.25 + static_cast<double>(count_per_c - state[kCountRemain]) / count_per_c;
}

std::unique_ptr<OneWireContainer> MakeDS18S20Container() {
  return std::make_unique<DS18S20Container>();
}

}  // namespace qb::access
