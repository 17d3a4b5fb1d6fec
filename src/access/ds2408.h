#pragma once

#include "access/switch_container.h"

namespace qb::access {

// Family 29: the eight-channel addressable switch. Eight open-drain PIO channels, each with an
// output latch, a sensed pin level and an activity latch (set by any edge at the pin), and a
// conditional search on pin levels or activity latches.
//
// State (6 bytes): the registers 88h to 8Dh as Read PIO Registers gives them:
//   [0] PIO logic state (pin levels), [1] output latches (0: the transistor conducts),
//   [2] activity latches, [3] conditional-search channel selection mask, [4] conditional-search
//   polarity, [5] control/status: bit 0 PLS (search on activity latches instead of pins), bit 1
//   CT (AND instead of OR), bit 2 ROS (RSTZ pin is a strobe output instead of a reset input),
//   bit 3 PORL (set by a power-on reset, cleared by writing 0), bit 7 VCCP (Vcc supplied).
// setLatchState and setSearchConditions change the state; writeDevice writes what differs from
// the device: the latches with Channel-Access Write, the search registers with Write
// Conditional Search Register.
class DS2408Container : public SwitchContainer<OneWireContainer> {
 public:
  DS2408Container() : SwitchContainer({6, 8, true, ""}, 0x29) {}

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  void setLatchState(int channel, bool on, bool smart, DeviceState& state) override;
  // Reset Activity Latches (C3h), checked by its AAh confirmation.
  void clearActivity() override;
  // `channel` is a mask of the channels to watch (CHANNEL_A is channel 0, CHANNEL_B channel 1,
  // CHANNEL_BOTH both; any mask of bits 0 to 7 selects those channels); source
  // SOURCE_ACTIVITY_LATCH or SOURCE_PIO (the part cannot search on its output latches);
  // polarity the value that makes a watched channel answer. The device then answers the
  // conditional search while any watched channel matches. A power-on reset flag in the state
  // is cleared with the next write.
  void setSearchConditions(int channel, int source, int polarity, DeviceState& state) override;

  // True when the state shows that the device went through a power-on reset since the flag was
  // last cleared: its output latches are then all off, whatever was switched before.
  static bool PoweredOnSinceCleared(const DeviceState& state) { return state[5] & 0x08; }

 protected:
  SwitchChannel ChannelAt(int channel, const DeviceState& state) const override;
};

}  // namespace qb::access
