#pragma once

#include "access/switch_container.h"

namespace qb::access {

// The coupler: channel 0 is the main branch, channel 1 the auxiliary branch; a branch's
// "latch" is on while the branch is connected to the bus. At most one branch is connected.
//
// State (2 bytes):
//   [0] the status info byte: bit 0/2 main/auxiliary status (0: connected), bit 1/3 the level
//       sensed at main/auxiliary, bit 4/5 the main/auxiliary event flag, bit 6 the control
//       output (auto mode: 1 follows the auxiliary branch; manual mode: 1 its transistor
//       conducts), bit 7 the control output mode (1 manual);
//   [1] this container's own flags: bit 0 connect the main branch with Smart-On (set by
//       setLatchState with `smart`).
// writeDevice writes the control output settings with Status Read/Write and then switches the
// branches with the line commands.
class DS2409Container : public SwitchContainer<OneWireContainer> {
 public:
  DS2409Container() : SwitchContainer({2, 2, true, " (0 main, 1 auxiliary)"}, 0x1F) {}

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  // Connecting one branch disconnects the other, as on the part. With `smart` the main branch
  // is connected with Smart-On Main; the auxiliary branch always is (the part has no
  // Direct-On for it).
  void setLatchState(int channel, bool on, bool smart, DeviceState& state) override;
  // Clears the event flags. Only All Lines Off clears them, so a connected branch is
  // reconnected afterwards.
  void clearActivity() override;

  // Status Read/Write: sends the status control byte (bits 3 and 4 set: read only) and returns
  // the status info byte, checked against its confirmation copy.
  uint8_t StatusReadWrite(uint8_t control);
  // All Lines Off (66h), Discharge Lines (99h), Direct-On Main (A5h): the command and its
  // confirmation byte.
  void LineCommand(uint8_t command);
  // Smart-On Main (CCh) or Smart-On Auxiliary (33h); returns the reset response byte (FFh: no
  // presence pulse on the branch).
  uint8_t SmartOn(uint8_t command);

 protected:
  SwitchChannel ChannelAt(int channel, const DeviceState& state) const override;
};

}  // namespace qb::access
