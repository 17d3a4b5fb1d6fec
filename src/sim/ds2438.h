#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// A DS2438 battery monitor. Eight pages of eight bytes, each with its own scratchpad:
//   page 0: status/configuration (IAD, CA, EE, AD writable and kept in EEPROM; TB, NVB, ADB the
//           busy flags), temperature, voltage and current registers, threshold;
//   page 1: elapsed time meter (counts seconds), ICA, current offset, a reserved FF byte;
//   page 2: SRAM; pages 3 to 7: EEPROM.
// Commands: Write Scratchpad, Read Scratchpad (8 bytes and their CRC8), Copy Scratchpad, Recall
// Memory, Convert T and Convert V. Read slots after Convert T, Convert V and Copy Scratchpad
// give 0 while the device is busy. The measured values come from the bus-file keys
// "temperature" (degrees C), "vdd" and "vad" (volts) and "vsense_mv" (millivolts across the
// sense resistor), sampled when the device converts; the current register follows the sense
// voltage every 27.5 ms while IAD is set and keeps its last value otherwise.
class DS2438Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  using Page = std::array<uint8_t, 8>;
  static constexpr std::chrono::milliseconds kTemperatureTime{10};
  static constexpr std::chrono::milliseconds kVoltageTime{4};
  static constexpr std::chrono::milliseconds kEepromTime{10};
  static constexpr std::chrono::microseconds kCurrentPeriod{27465};  // 36.41 conversions a second

  DS2438Model(const access::RomId& rom, const nlohmann::json& device);

  // A memory page as Recall Memory would load it (for tests and the memory dump).
  Page MemoryPage(int page);
  ValueSource& temperature() { return *temperature_; }
  ValueSource& vdd() { return *vdd_; }
  ValueSource& vad() { return *vad_; }
  ValueSource& vsense_mv() { return *vsense_mv_; }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  bool IdleBit() override;
  void OnReset() override { Settle(); }

 private:
  // Finishes conversions whose time has come.
  void Settle();
  void UpdateCurrent();
  void ApplyConfig(uint8_t byte);
  void Copy(int page);
  double SecondsAt(Clock::Monotonic when) const;

  std::unique_ptr<ValueSource> temperature_, vdd_, vad_, vsense_mv_;

  uint8_t command_ = 0;
  int page_ = -1;  // the page a command addresses, -1 until its byte arrived
  int write_offset_ = 0;
  std::array<Page, 8> scratchpad_{};
  std::array<Page, 8> memory_{};  // pages 2 to 7 as stored; pages 0 and 1 are built from below

  uint8_t config_ = 0x0F;  // IAD, CA, EE and AD as they leave the factory
  uint8_t threshold_ = 0;
  uint16_t temperature_reg_ = 0;
  uint16_t voltage_reg_ = 0;
  int16_t current_reg_ = 0;
  uint8_t ica_ = 0;
  uint16_t offset_reg_ = 0;
  uint32_t etm_base_ = 0;
  double etm_set_at_ = 0;  // seconds when the meter was last written

  std::optional<Clock::Monotonic> temperature_done_, voltage_done_, eeprom_done_;
  bool voltage_of_vdd_ = true;                 // the input the running voltage conversion measures
  std::optional<Clock::Monotonic> iad_since_;  // when the current converter started
  std::optional<Clock::Monotonic> last_current_at_;
};

}  // namespace qb::sim
