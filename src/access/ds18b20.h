#pragma once

#include "access/thermometer.h"

namespace qb::access {

// Family 28: DS18B20. A 12-bit temperature register in 1/16 C; the configuration byte (R1, R0 in
// bits 6 and 5) selects 9 to 12 bits, the low register bits being undefined below 12. The
// conversion takes 93.75 ms at 9 bits and doubles with each further bit.
class DS18B20Container : public ThermometerContainer {
 public:
  DS18B20Container() : DS18B20Container(0x28) {}

  double getTemperature(const DeviceState& state) const override;
  bool hasSelectableTemperatureResolution() const override { return true; }
  std::vector<double> getTemperatureResolutions() const override {
    return {0.5, 0.25, 0.125, 0.0625};
  }
  double getTemperatureResolution(const DeviceState& state) const override;
  void setTemperatureResolution(double resolution, DeviceState& state) override;

 protected:
  // For the DS1822, which shares the register layout and protocol.
  explicit DS18B20Container(uint8_t family) : ThermometerContainer(family) {}

  size_t WritableBytes() const override { return 3; }
  uint8_t WritableMask(size_t index) const override { return index < 2 ? 0xFF : 0x60; }
  bool ConversionTimeVaries() const override { return true; }
  std::chrono::milliseconds ConversionTime(const DeviceState& scratchpad) const override;
};

// Whether a scratchpad holds the contents the part powers up with rather than a conversion's
// result: +85 C (0550h) with the reserved bytes at their power-on values (FFh, 0Ch, 10h). After
// a conversion the part sets byte 6 from the register's low bits, so a real +85 C reads 10h
// there and is told apart.
bool DS18B20PowerOnScratchpad(const DeviceState& state);

// The resolution bits (9 to 12) a configuration byte selects.
inline int ResolutionBits(uint8_t config) {
  return 9 + (config >> 5 & 0x03);
}

}  // namespace qb::access
