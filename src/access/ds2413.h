#pragma once

#include "access/pio_switch.h"

namespace qb::access {

// Family 3A: the dual-channel addressable switch. Two open-drain PIO channels, each with an
// output latch and a sensed pin level; no activity latches and no memory.
//
// State (1 byte): the PIO status byte as read (see pio_switch.h). setLatchState changes the
// latch bits; writeDevice sends them with PIO Access Write and checks the confirmation.
class DS2413Container : public PioSwitchContainer<OneWireContainer> {
 public:
  DS2413Container() : PioSwitchContainer(1, 0x3A) {}

  DeviceState readDevice() override { return {ReadPio()}; }
  void writeDevice(const DeviceState& state) override;
};

}  // namespace qb::access
