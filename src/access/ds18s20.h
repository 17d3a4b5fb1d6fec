#pragma once

#include "access/thermometer.h"

namespace qb::access {

// Family 10: DS18S20 and DS1920. A 9-bit temperature register in 0.5 C steps; COUNT_REMAIN and
// COUNT_PER_C (scratchpad bytes 6 and 7) let the caller work out a finer reading. One fixed
// resolution and a 750 ms conversion; Write Scratchpad takes TH and TL only.
class DS18S20Container : public ThermometerContainer {
 public:
  DS18S20Container() : ThermometerContainer(0x10) {}

  double getTemperature(const DeviceState& state) const override;
  bool hasSelectableTemperatureResolution() const override { return false; }
  std::vector<double> getTemperatureResolutions() const override { return {0.5}; }
  double getTemperatureResolution(const DeviceState& state) const override;
  void setTemperatureResolution(double resolution, DeviceState& state) override;

 protected:
  size_t WritableBytes() const override { return 2; }
  std::chrono::milliseconds ConversionTime(const DeviceState&) const override {
    return std::chrono::milliseconds(750);
  }
};

// The DS18S20's reading to 1/16 C from a scratchpad (as readDevice or doTemperatureConvert left
// it): TEMP_READ - 0.25 + (COUNT_PER_C - COUNT_REMAIN) / COUNT_PER_C, where TEMP_READ is the
// temperature register without its half-degree bit, i.e. the half degrees halved and rounded
// towards minus infinity (-0.5 C gives -1, not 0). A scratchpad whose COUNT_PER_C is 0 has no
// finer reading: the register's 0.5 C value is returned. Raises an AccessError for a state that
// is not a scratchpad.
double DS18S20ExtendedTemperature(const DeviceState& state);

}  // namespace qb::access
