#include "sim/ds18b20.h"

#include <algorithm>
#include <cmath>

#include "sim/models.h"

namespace qb::sim {

DS18B20Model::DS18B20Model(const access::RomId& rom, const nlohmann::json& device)
    : ThermometerModel(rom, device) {
  const int bits = WholeNumber(device, "resolution", 12, 9, 12, Name());
  eeprom_[2] = KeepConfig(static_cast<uint8_t>((bits - 9) << 5));
  PowerOn();
}

std::chrono::microseconds DS18B20Model::ConversionTime() const {
  return std::chrono::microseconds(93750 << (ResolutionBits() - 9));
}

void DS18B20Model::PowerOnRegisters() {
  pad_[0] = 0x50;  // 0550h: +85 C until the first conversion
  pad_[1] = 0x05;
  pad_[4] = eeprom_[2];
  pad_[5] = 0xFF;
  pad_[6] = 0x0C;
  pad_[7] = 0x10;
}

void DS18B20Model::StoreMeasurement(double celsius) {
  if (std::isnan(celsius)) return;  // no measurement: the register keeps its value
  const double c = std::clamp(celsius, -55.0, 125.0);
  // Nearest step of the resolution, in 1/16 C; the bits below it are undefined, and the model
  // fills them with noise so that nothing can rely on them.
  const int step = 1 << (12 - ResolutionBits());
  int raw = static_cast<int>(std::floor(c * 16.0 / step + 0.5)) * step;
  raw |= static_cast<int>(rng()() % static_cast<unsigned>(step));
  const auto reg = static_cast<uint16_t>(static_cast<int16_t>(raw));
  pad_[0] = static_cast<uint8_t>(reg & 0xFF);
  pad_[1] = static_cast<uint8_t>(reg >> 8);
  // The reserved byte 6 holds 0Ch at power-on; after a conversion the part sets it to 10h less
  // the register's lowest four bits, so a real +85 C (0550h) reads 10h there.
  pad_[6] = static_cast<uint8_t>(0x10 - (pad_[0] & 0x0F));
}

bool DS18B20Model::AlarmCondition() const {
  // Bits 11 to 4 of the register (whole degrees, rounded down) against TH and TL: at or below TL,
  // or at or above TH.
  const int whole = static_cast<int16_t>(pad_[1] << 8 | pad_[0]) >> 4;
  return whole <= static_cast<int8_t>(pad_[3]) || whole >= static_cast<int8_t>(pad_[2]);
}

std::unique_ptr<SimDevice> MakeDS18B20Model(const access::RomId& rom,
                                            const nlohmann::json& device) {
  return std::make_unique<DS18B20Model>(rom, device);
}

}  // namespace qb::sim
