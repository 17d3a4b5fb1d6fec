#pragma once

#include "access/switch_container.h"

namespace qb::access {

// The dual addressable switch (one channel in its TO-92 form).
//
// State (2 bytes):
//   [0] the channel-info byte as Channel Access reports it: bit 0/1 PIO-A/PIO-B channel
//       flip-flop (0: the transistor conducts), bit 2/3 PIO-A/PIO-B sensed level, bit 4/5
//       PIO-A/PIO-B activity latch, bit 6 channel B present, bit 7 Vcc supply present;
//   [1] status memory byte 7: bits 0-4 the conditional-search selection (CSS0 polarity,
//       CSS1-2 source, CSS3-4 channel), bit 5/6 the PIO-A/PIO-B flip-flops, bit 7 supply.
// setLatchState and setSearchConditions change the state; writeDevice writes byte 7 back.
class DS2406Container : public SwitchContainer<OneWireContainer> {
 public:
  DS2406Container() : SwitchContainer({2, 2, true, ""}, 0x12) {}

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  void setLatchState(int channel, bool on, bool smart, DeviceState& state) override;
  // Resets both activity latches at once (Channel Access with ALR set).
  void clearActivity() override;
  // channel CHANNEL_A/B/BOTH, source SOURCE_ACTIVITY_LATCH/FLIP_FLOP/PIO, polarity
  // POLARITY_ZERO/ONE: the device then answers the conditional search while the source of the
  // channel (either channel for BOTH) has that value.
  void setSearchConditions(int channel, int source, int polarity, DeviceState& state) override;

  // Channel Access reading the channel-info byte (CRC16-checked); with `reset_activity` the
  // activity latches are reset first.
  uint8_t ReadChannelInfo(bool reset_activity);
  // Read Status from `address` (0 to 7) to the end of the status memory, CRC16-checked.
  std::vector<uint8_t> ReadStatus(int address);
  // Write Status of the SRAM byte 7, CRC16-checked and read back.
  void WriteStatusByte7(uint8_t value);

 protected:
  // One channel, or two when the channel-info byte says channel B is present.
  int ChannelsIn(const DeviceState& state) const override;
  SwitchChannel ChannelAt(int channel, const DeviceState& state) const override;
};

}  // namespace qb::access
