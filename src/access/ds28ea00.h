#pragma once

#include <vector>

#include "access/ds18b20.h"
#include "access/pio_switch.h"

namespace qb::access {

// Family 42: the thermometer with sequence detection. Its temperature side is the DS18B20's
// (9 to 12 bits, TH/TL alarm limits, same scratchpad); beside it are two PIO lines used as
// switches, and a chain mode in which the devices, wired PIO-A (DONE) to PIO-B (EN) of the next
// along the cable, answer one after another in their physical order.
//
// State (10 bytes): the scratchpad as read, then the PIO status byte (see pio_switch.h).
class DS28EA00Container : public PioSwitchContainer<DS18B20Container> {
 public:
  DS28EA00Container() : PioSwitchContainer(kScratchpadSize + 1, 0x42) {}

  DeviceState readDevice() override;
  // Writes the scratchpad as the DS18B20 does, then the latches where they differ.
  void writeDevice(const DeviceState& state) override;
  void doTemperatureConvert(DeviceState& state) override;

 protected:
  size_t StateSize() const override { return kScratchpadSize + 1; }
};

// The chain scan: the ROM ids of the family-42 devices on the bus in their order along the
// cable, first the one whose EN input is tied low. It switches every device to chain mode
// (Skip ROM, Chain ON), then repeats Conditional Read ROM, which only the first enabled device
// not yet done answers, and Chain DONE to that device, which enables the next; then it switches
// chain mode off again, also after a failure. Raises a GeneralFailure when a chain command is
// not confirmed, a ROM id fails its CRC (another part answered too) or belongs to another family.
std::vector<RomId> FindChainOrder(DSPortAdapter& adapter);

}  // namespace qb::access
