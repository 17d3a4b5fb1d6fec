#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The scratchpad thermometers (DS18S20, DS1822, DS18B20): a 9-byte scratchpad with CRC8, TH, TL
// (and on the newer parts a configuration byte) kept in EEPROM, Convert T on simulated time.
//
// Power: an externally powered part converts on its own and holds read slots low while busy. A
// parasite-powered part ("power": "parasite") needs the strong pull-up right after Convert T and
// Copy Scratchpad for the whole operation; without it, or with too short a one, it browns out as
// real parts do: it comes back as after power-on (temperature register at 85 C, TH, TL and the
// configuration reloaded from EEPROM, alarm flag clear) and the operation is lost.
class ThermometerModel : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  enum class Power { External, Parasite };

  // The measured temperature, in C.
  ValueSource& Temperature() { return *temperature_; }
  // The scratchpad as Read Scratchpad sends it (CRC included).
  std::array<uint8_t, 9> Scratchpad();
  // TH, TL and the configuration byte held in EEPROM.
  const std::array<uint8_t, 3>& Eeprom() const { return eeprom_; }
  bool InAlarm();
  Power power() const { return power_; }

 protected:
  // Reads "temperature", "alarm_low", "alarm_high" and "power" from the bus-file object; the
  // family reads its own further keys and then calls PowerOn().
  ThermometerModel(const access::RomId& rom, const nlohmann::json& device);
  std::string Name() const { return "device " + rom().ToString(); }

  // --- family specifics ---
  // Bytes Write Scratchpad takes from byte 2 on.
  virtual size_t WritableBytes() const = 0;
  // The configuration byte as the device keeps it when `written` is written to it.
  virtual uint8_t KeepConfig(uint8_t written) const { return written; }
  virtual std::chrono::microseconds ConversionTime() const = 0;
  // Bytes 0, 1 (and 4 to 7) at power-on, with TH, TL, configuration already in bytes 2 to 4.
  virtual void PowerOnRegisters() = 0;
  // Fills the temperature register (and the count bytes) from a measurement in C.
  virtual void StoreMeasurement(double celsius) = 0;
  // The alarm condition from the temperature register and TH/TL, by the part's comparison rule.
  virtual bool AlarmCondition() const = 0;

  // Restores the power-on state: scratchpad from EEPROM, temperature register at 85 C.
  void PowerOn();

  // Bytes 0 to 7 of the scratchpad (the CRC is computed when it is sent).
  std::array<uint8_t, 8> pad_{};
  // TH, TL, configuration.
  std::array<uint8_t, 3> eeprom_{};

  // SimDevice
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  bool IdleBit() override;
  bool Alarming() override;
  void OnReset() override;
  void Powered(std::chrono::milliseconds duration) override;

 private:
  enum class Mode { None, WriteScratchpad, Busy, PowerSupply };
  enum class Operation { None, Convert, Copy };

  // Finishes an externally powered operation whose time is over.
  void Update();
  void Finish();
  void BrownOut();

  std::unique_ptr<ValueSource> temperature_;
  Power power_ = Power::External;
  bool alarm_ = false;

  Mode mode_ = Mode::None;
  size_t written_ = 0;  // bytes taken by the current Write Scratchpad

  Operation operation_ = Operation::None;
  Clock::Monotonic started_{};
  std::chrono::microseconds duration_{0};
  bool awaiting_power_ = false;  // parasite: the strong pull-up must come next
};

// Reads an optional whole number in [lo, hi]; std::invalid_argument naming the device and key.
int WholeNumber(const nlohmann::json& device, const char* key, int fallback, int lo, int hi,
                const std::string& name);

}  // namespace qb::sim
