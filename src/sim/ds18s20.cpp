#include "sim/ds18s20.h"

#include <algorithm>
#include <cmath>

#include "sim/models.h"

namespace qb::sim {

namespace {

// Integer division rounding towards minus infinity.
int FloorDiv(int a, int b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

}  // namespace

DS18S20Model::DS18S20Model(const access::RomId& rom, const nlohmann::json& device)
    : ThermometerModel(rom, device) {
  PowerOn();
}

void DS18S20Model::PowerOnRegisters() {
  pad_[0] = 0xAA;  // 00AAh: +85 C until the first conversion
  pad_[1] = 0x00;
  pad_[4] = 0xFF;
  pad_[5] = 0xFF;
  pad_[6] = 0x0C;  // with COUNT_PER_C 16 the finer reading is also 85 C
  pad_[7] = 0x10;
}

void DS18S20Model::StoreMeasurement(double celsius) {
  if (std::isnan(celsius)) return;  // no measurement: the register keeps its value
  const double c = std::clamp(celsius, -55.0, 125.0);
  // The measurement to 1/16 C, then the register to the nearest half degree. COUNT_REMAIN is
  // chosen so that TEMP_READ - 0.25 + (16 - COUNT_REMAIN) / 16 gives the 1/16 C value back, where
  // TEMP_READ is the register without its half-degree bit; it stays within 1 to 16.
  const int sixteenths = static_cast<int>(std::floor(c * 16.0 + 0.5));
  const int halves = FloorDiv(sixteenths + 4, 8);
  const int temp_read = FloorDiv(halves, 2);
  const int count_remain = 12 - (sixteenths - 16 * temp_read);
  const auto reg = static_cast<uint16_t>(static_cast<int16_t>(halves));
  pad_[0] = static_cast<uint8_t>(reg & 0xFF);
  pad_[1] = static_cast<uint8_t>(reg >> 8);
  pad_[6] = static_cast<uint8_t>(count_remain);
  pad_[7] = 0x10;
}

bool DS18S20Model::AlarmCondition() const {
  // Bits 8 to 1 of the register (whole degrees, rounded down): at or below TL, or above TH.
  const int whole = static_cast<int16_t>(pad_[1] << 8 | pad_[0]) >> 1;
  return whole <= static_cast<int8_t>(pad_[3]) || whole > static_cast<int8_t>(pad_[2]);
}

std::unique_ptr<SimDevice> MakeDS18S20Model(const access::RomId& rom,
                                            const nlohmann::json& device) {
  return std::make_unique<DS18S20Model>(rom, device);
}

}  // namespace qb::sim
