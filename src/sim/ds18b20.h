#pragma once

#include "sim/thermometer.h"

namespace qb::sim {

// A DS18B20 (family 28): 9 to 12 bits selected by R1, R0 of the configuration byte, conversion
// 93.75 ms at 9 bits doubling per bit. Bus-file key "resolution" (bits, default 12) sets the
// configuration held in EEPROM.
class DS18B20Model : public ThermometerModel {
 public:
  DS18B20Model(const access::RomId& rom, const nlohmann::json& device);
  int ResolutionBits() const { return 9 + (pad_[4] >> 5 & 0x03); }

 protected:
  size_t WritableBytes() const override { return 3; }
  // Only R1 and R0 can be written; bit 7 reads 0 and bits 4 to 0 read 1.
  uint8_t KeepConfig(uint8_t written) const override {
    return static_cast<uint8_t>(0x1F | (written & 0x60));
  }
  std::chrono::microseconds ConversionTime() const override;
  void PowerOnRegisters() override;
  void StoreMeasurement(double celsius) override;
  bool AlarmCondition() const override;
};

}  // namespace qb::sim
