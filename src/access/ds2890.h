#pragma once

#include "access/container.h"

namespace qb::access {

// The digital potentiometer.
//
// State (2 bytes): [0] the feature register (bit 0 linear, bit 1 volatile wiper, bits 2-3
// number of potentiometers - 1, bits 4-5 wiper positions 32/64/128/256, bits 6-7 resistance
// 5/10/50/100 kOhm), [1] the control register (bit 6 charge pump on, bits 0-1 the wiper
// number, bits 2-3 its complement). writeDevice writes the control register.
//
// The part protects none of its answers with a CRC, so every read is made three times and only
// matching answers are taken.
class DS2890Container : public OneWireContainer {
 public:
  DS2890Container() : OneWireContainer(0x2C) {}

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  int getWiperPosition() override;
  // Write Position with the echo check and the release code; false when the device refuses
  // (or the position is outside 0 to 255, which is not sent).
  bool setWiperPosition(int position) override;
  // The new position after one step; at the ends the wiper stays.
  int increment() override;
  int decrement() override;

  double potentiometerResistance(const DeviceState& state) const override;
  bool isLinear(const DeviceState& state) const override;
  bool wiperSettingsAreVolatile(const DeviceState& state) const override;
  bool isChargePumpOn(const DeviceState& state) const override;
  void setChargePump(bool on, DeviceState& state) override;
  int numberOfWiperSettings(const DeviceState& state) const override;

 private:
  // One command followed by two bytes read, made three times; the bytes when all agree.
  std::pair<uint8_t, uint8_t> ReadAgreed(uint8_t command, const char* what);
  // Write Position or Write Control: value, echo, release code. True when accepted.
  bool WriteWithRelease(uint8_t command, uint8_t value);
  int Step(uint8_t command);
  void CheckState(const DeviceState& state, const char* call) const;
};

}  // namespace qb::access
