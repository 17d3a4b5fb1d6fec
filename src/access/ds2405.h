#pragma once

#include "access/switch_container.h"

namespace qb::access {

// The addressable switch with one open-drain output. Every Match ROM toggles the output, so
// this container never selects the device to read it: the output is read with the Active-Only
// (alarm) search, which finds the device while its transistor conducts, and the pin level with
// a read slot after a search that singled the device out.
//
// State (1 byte): bit 0 the output transistor conducts, bit 1 the level sensed at the pin.
class DS2405Container : public SwitchContainer<OneWireContainer> {
 public:
  DS2405Container() : SwitchContainer({1, 1, false, " (its only channel is 0)"}, 0x05) {}

  DeviceState readDevice() override;
  // Switches the output to the state's bit 0, toggling it only when the device differs.
  void writeDevice(const DeviceState& state) override;

  // Sets bit 0 of the state; writeDevice switches the device.
  void setLatchState(int channel, bool on, bool smart, DeviceState& state) override;

 protected:
  SwitchChannel ChannelAt(int channel, const DeviceState& state) const override;

 private:
  void UseSpeed();
};

}  // namespace qb::access
