#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "access/container.h"

namespace qb::access {

// The DS2438 battery monitor (family 26): temperature, two voltage inputs (its supply Vdd and
// the general input Vad, one A/D converter switched by the AD flag) and the voltage across a
// current-sense resistor.
//
// The device state (readDevice, and what the state-taking calls read and modify) is 12 bytes:
//   [0..7]   page 0 as the device reads it: status/configuration, temperature LSB and MSB,
//            voltage LSB and MSB, current LSB and MSB, threshold.
//   [8..9]   the last Vdd reading doADConvert(0, state) stored: the raw voltage register,
//            LSB first (10 mV steps); FF FF while no Vdd reading was taken.
//   [10..11] the last Vad reading doADConvert(1, state) stored, the same way.
// The device has a single voltage register, so the two readings are kept side by side here:
// doADConvert(0), doADConvert(1) and only then getADVoltage(0) and getADVoltage(1) give both.
// Every state-taking call refuses a state of another size.
//
// Currents are reported for a 0.05 ohm sense resistor.
class DS2438Container : public OneWireContainer {
 public:
  static constexpr size_t kStateSize = 12;
  static constexpr double kSenseResistorOhms = 0.05;

  DS2438Container();

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  void doTemperatureConvert(DeviceState& state) override;
  double getTemperature(const DeviceState& state) const override;
  // 13 bits: a fixed 0.03125 degree step.
  bool hasSelectableTemperatureResolution() const override { return false; }
  std::vector<double> getTemperatureResolutions() const override { return {0.03125}; }
  double getTemperatureResolution(const DeviceState& state) const override;

  int getNumberADChannels() const override { return 3; }
  bool hasADAlarms() const override { return false; }
  void doADConvert(int channel, DeviceState& state) override;
  double getADVoltage(int channel, const DeviceState& state) const override;
  double getCurrent(const DeviceState& state) const override;
  bool getFlag(int flag) override;
  void setFlag(int flag, bool value) override;

 private:
  using Page = std::array<uint8_t, 8>;
  // Recalls a page into its scratchpad and reads it back, CRC8 checked.
  Page ReadPage(uint8_t page);
  // Sets the configuration bits under `mask` to `bits` and, when given, the threshold byte:
  // write scratchpad, read it back, copy page 0 to its EEPROM, read page 0 again to confirm.
  // Does nothing when the device already holds these values. Returns page 0 as read last.
  Page WritePage0(uint8_t mask, uint8_t bits, std::optional<uint8_t> threshold = std::nullopt);
  // Issues a conversion command and waits until the device reports it done.
  void Convert(uint8_t command, std::chrono::milliseconds time, const char* what);
  // Waits while the device answers read slots with 0 (busy), at most `limit`.
  void WaitWhileBusy(std::chrono::milliseconds limit, const char* what);
  void CheckState(const DeviceState& state, const char* call) const;

  // The last readings doADConvert took, kept across readDevice calls.
  std::optional<uint16_t> last_vdd_, last_vad_;
};

}  // namespace qb::access
