#include "access/ds18b20.h"

#include <cmath>
#include <memory>

#include "access/families.h"

namespace qb::access {

bool DS18B20PowerOnScratchpad(const DeviceState& state) {
  return state.size() >= 8 && state[0] == 0x50 && state[1] == 0x05 && state[5] == 0xFF &&
         state[6] == 0x0C && state[7] == 0x10;
}

double DS18B20Container::getTemperature(const DeviceState& state) const {
  CheckState(state, "getTemperature");
  const int bits = ResolutionBits(state[kConfig]);
  // Two's complement in 1/16 C; the bits below the selected resolution are undefined.
  const auto undefined = static_cast<uint16_t>((1u << (12 - bits)) - 1);
  const auto raw = static_cast<int16_t>((state[kTempMsb] << 8 | state[kTempLsb]) & ~undefined);
  return raw / 16.0;
}

double DS18B20Container::getTemperatureResolution(const DeviceState& state) const {
  CheckState(state, "getTemperatureResolution");
  return 0.5 / (1 << (ResolutionBits(state[kConfig]) - 9));
}

void DS18B20Container::setTemperatureResolution(double resolution, DeviceState& state) {
  CheckState(state, "setTemperatureResolution");
  for (int bits = 9; bits <= 12; ++bits) {
    if (std::fabs(resolution - 0.5 / (1 << (bits - 9))) < 1e-9) {
      state[kConfig] = static_cast<uint8_t>((state[kConfig] & ~0x60) | (bits - 9) << 5);
      return;
    }
  }
  Fail("setTemperatureResolution: " + std::to_string(resolution) +
       " C is not a resolution of the " + getName() + " (0.5, 0.25, 0.125 or 0.0625)");
}

std::chrono::milliseconds DS18B20Container::ConversionTime(const DeviceState& scratchpad) const {
  // 93.75, 187.5, 375 and 750 ms, rounded up to whole milliseconds.
  const double ms = 750.0 / (1 << (12 - ResolutionBits(scratchpad[kConfig])));
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(ms)));
}

std::unique_ptr<OneWireContainer> MakeDS18B20Container() {
  return std::make_unique<DS18B20Container>();
}

}  // namespace qb::access
