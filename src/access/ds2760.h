#pragma once

#include <cstdint>

#include "access/container.h"

namespace qb::access {

// The DS2760 battery monitor (family 30). It measures on its own, all the time: temperature,
// the battery voltage and the voltage across its current-sense resistor, each into a register
// pair (MSB first, left-aligned two's complement). The device state is its register block,
// addresses 0x00 to 0x1F:
//   [0x00] protection, [0x01] status, [0x07] EEPROM, [0x08] special feature
//   [0x0C..0x0D] voltage: 11 bits, 4.88 mV steps
//   [0x0E..0x0F] current: 13 bits, 15.625 uV steps of the sense voltage
//   [0x10..0x11] accumulated current: 0.25 mVh steps of the sense voltage
//   [0x18..0x19] temperature: 11 bits, 0.125 degree steps
// A/D channels: 0 the battery voltage (VIN), 2 (DS2438_CHANNEL_VSENSE) the sense voltage.
// getCurrent reports the current through the DS2760's own 25 milliohm sense resistor.
// Its EEPROM and SRAM are memory banks; the state is read-only here (writeDevice is not
// supported).
class DS2760Container : public OneWireContainer {
 public:
  static constexpr size_t kStateSize = 32;
  static constexpr double kSenseResistorOhms = 0.025;
  static constexpr double kVoltageStep = 0.00488;    // volts
  static constexpr double kSenseStep = 15.625e-6;    // volts
  static constexpr double kTemperatureStep = 0.125;  // degrees
  static constexpr uint8_t kVoltage = 0x0C, kCurrent = 0x0E, kAccumulated = 0x10,
                           kTemperature = 0x18;

  DS2760Container();

  DeviceState readDevice() override;
  // The registers follow the measurements on their own: a "conversion" reads them afresh.
  void doTemperatureConvert(DeviceState& state) override;
  double getTemperature(const DeviceState& state) const override;
  // 11 bits: a fixed 0.125 degree step.
  bool hasSelectableTemperatureResolution() const override { return false; }
  std::vector<double> getTemperatureResolutions() const override { return {kTemperatureStep}; }
  double getTemperatureResolution(const DeviceState& state) const override;

  int getNumberADChannels() const override { return 3; }
  bool hasADAlarms() const override { return false; }
  void doADConvert(int channel, DeviceState& state) override;
  double getADVoltage(int channel, const DeviceState& state) const override;
  double getCurrent(const DeviceState& state) const override;

 private:
  void CheckState(const DeviceState& state, const char* call) const {
    CheckStateSize(state, kStateSize, call);
  }
  void CheckChannel(int channel) const;
};

}  // namespace qb::access
