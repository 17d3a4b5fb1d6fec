#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// A DS2760 battery monitor: 256 addresses with the registers at 0x00 to 0x1F (laid out as in
// access/ds2760.h), 32 bytes of EEPROM in two blocks at 0x20 and 0x30 (each behind a shadow
// RAM), and 16 bytes of SRAM at 0x80.
// Commands: Read Data (69 address, then the bytes from there on), Write Data (6C address,
// data), Copy Data (48 block address: shadow to EEPROM), Recall Data (B8 block address: EEPROM
// to shadow), Lock (6A, accepted and ignored). The part measures all the time; the model takes
// the values when a read starts. Writable: the status, special feature and accumulated-current
// registers, the EEPROM shadows and the SRAM.
// Bus-file keys: "temperature" (degrees C), "voltage" (volts), "vsense_mv" (millivolts across
// the sense resistor).
class DS2760Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2760Model(const access::RomId& rom, const nlohmann::json& device);

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;

 private:
  void Measure();
  static bool Writable(int address);

  std::unique_ptr<ValueSource> temperature_, voltage_, vsense_mv_;
  std::array<uint8_t, 256> memory_{};
  std::array<uint8_t, 32> eeprom_{};
  uint8_t command_ = 0;
  int address_ = -1;
};

}  // namespace qb::sim
