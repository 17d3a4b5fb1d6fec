#pragma once

#include "sim/thermometer.h"

namespace qb::sim {

// A DS18S20 / DS1920 (family 10): a 9-bit register in 0.5 C steps plus COUNT_REMAIN and
// COUNT_PER_C for a finer reading, 750 ms conversions, TH and TL only.
class DS18S20Model : public ThermometerModel {
 public:
  DS18S20Model(const access::RomId& rom, const nlohmann::json& device);

 protected:
  size_t WritableBytes() const override { return 2; }
  std::chrono::microseconds ConversionTime() const override {
    return std::chrono::microseconds(750000);
  }
  void PowerOnRegisters() override;
  void StoreMeasurement(double celsius) override;
  bool AlarmCondition() const override;
};

}  // namespace qb::sim
